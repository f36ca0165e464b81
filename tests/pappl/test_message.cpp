// The messages a user reads: a job's, as an IPP client reads it once the job
// has ended (the driver sets and clears it as its document says, and what is
// left must be true of the job's end); the job's, the printer's and an
// answer's, in the language the client asks for; the command line's, in the
// language of the process.
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pappl/pappl.h>

#include "tests/pappl/harness.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace {

// Each line of the document is one step: "set TEXT" sets the message,
// "empty" sets it to the empty string, "null" passes no message at all and
// "fail" ends the job as failed.
bool print_file(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *)
{
    // Called through a pointer so that the compiler lets a null format by.
    void (*set_message)(pappl_job_t *, const char *, ...) = papplJobSetMessage;
    FILE *f = fopen(papplJobGetFilename(job), "r");
    if (f == nullptr)
        return false;
    char line[256];
    bool ok = true;
    while (fgets(line, sizeof(line), f) != nullptr) {
        line[strcspn(line, "\n")] = '\0';
        if (strncmp(line, "set ", 4) == 0)
            papplJobSetMessage(job, "%s", line + 4);
        else if (strcmp(line, "empty") == 0)
            papplJobSetMessage(job, "%s", "");
        else if (strcmp(line, "null") == 0)
            set_message(job, nullptr);
        else if (strcmp(line, "fail") == 0)
            ok = false;
    }
    fclose(f);
    return ok;
}

// The strings of a made-up language: PAPPL's own texts and a driver's.
const char kTestStrings[] = "\"Job completed.\" = \"Fini.\";\n"
                            "\"Idle.\" = \"Repos.\";\n"
                            "\"job-id %d not found.\" = \"Pas de travail %d.\";\n"
                            "\"Waiting for paper.\" = \"Attente de papier.\";\n";

pappl_pr_driver_t g_drivers[] = {{"message_ps", "Message Test PostScript", nullptr, nullptr}};

bool driver_setup(pappl_system_t *, const char *, const char *, const char *, pappl_pr_driver_data_t *data,
                  ipp_t **, void *)
{
    data->printfile_cb = print_file;
    accept_raster(data);
    describe_a4_postscript_printer(data, "Message Test PostScript", 423);
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    return true;
}

class PapplMessage : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(sys_.create());
        papplSystemAddStringsData(sys_.system(), "/strings/x-test.strings", "x-test", kTestStrings);
        ASSERT_NE(papplPrinterCreate(sys_.system(), 0, "message", "message_ps", "MFG:Message;MDL:Test;CMD:POSTSCRIPT;",
                                     "file:///dev/null"),
                  nullptr);
        ASSERT_NO_FATAL_FAILURE(sys_.start());
        http_ = sys_.connect();
        ASSERT_NE(http_, nullptr);
    }

    void TearDown() override { httpClose(http_); }

    // Print-Job; the job's ID, or 0.
    int print(const std::string &document)
    {
        ipp_t *request = ippNewRequest(IPP_OP_PRINT_JOB);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri().c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "message");
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     "application/postscript");
        ipp_t *response = send_document(http_, request, kResource, document);
        const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
        ippDelete(response);
        return id;
    }

    // The job's state and message, read in the given language (the
    // process's when nullptr); the message empty when none is reported.
    std::pair<ipp_jstate_t, std::string> state(int id, const char *language = nullptr)
    {
        static const char *const kWanted[] = {"job-state", "job-state-message"};
        ipp_t *request = request_in(IPP_OP_GET_JOB_ATTRIBUTES, language);
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
        ipp_t *response = cupsDoRequest(http_, request, kResource);
        const auto s = static_cast<ipp_jstate_t>(ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0));
        std::pair<ipp_jstate_t, std::string> got(s, text_of(response, "job-state-message"));
        ippDelete(response);
        return got;
    }

    // A request to the printer, asking for answers in the given language.
    ipp_t *request_in(ipp_op_t op, const char *language)
    {
        ipp_t *request = ippNewRequest(op);
        ipp_attribute_t *lang = ippFindAttribute(request, "attributes-natural-language", IPP_TAG_LANGUAGE);
        if (language != nullptr)
            ippSetString(request, &lang, 0, language);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri().c_str());
        return request;
    }

    // A web page as a browser asking for the given language gets it; empty
    // when it did not come whole.
    std::string page(const char *path, const char *language)
    {
        http_t *http = sys_.connect();
        if (http == nullptr)
            return "";
        httpClearFields(http);
        httpSetField(http, HTTP_FIELD_ACCEPT_LANGUAGE, language);
        std::string body;
        http_status_t status = HTTP_STATUS_ERROR;
        if (httpGet(http, path) == 0) {
            while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
            }
            char buffer[8192];
            ssize_t n;
            while ((n = httpRead2(http, buffer, sizeof(buffer))) > 0)
                body.append(buffer, static_cast<size_t>(n));
        }
        httpClose(http);
        return status == HTTP_STATUS_OK ? body : "";
    }

    static std::string text_of(ipp_t *response, const char *name)
    {
        const char *text = ippGetString(ippFindAttribute(response, name, IPP_TAG_TEXT), 0, nullptr);
        return text != nullptr ? text : "";
    }

    std::string uri() const { return "ipp://127.0.0.1:" + std::to_string(sys_.port()) + kResource; }

    static constexpr const char *kResource = "/ipp/print/message";
    RunningSystem sys_{"Message Test", PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE, g_drivers, 1,
                       driver_setup};
    http_t *http_ = nullptr;
};

TEST_F(PapplMessage, a_cleared_message_gives_way_to_the_text_of_the_jobs_state)
{
    static const struct {
        const char *name;
        const char *document;
        ipp_jstate_t state;
        const char *message;
    } kCases[] = {
        {"a message that stays", "set Waiting for paper.\n", IPP_JSTATE_COMPLETED, "Waiting for paper."},
        {"cleared with an empty message", "set Waiting for paper.\nempty\n", IPP_JSTATE_COMPLETED,
         "Job completed."},
        {"cleared with no message", "set Waiting for paper.\nnull\n", IPP_JSTATE_COMPLETED, "Job completed."},
        {"cleared, then the job failed", "set Waiting for paper.\nempty\nfail\n", IPP_JSTATE_ABORTED,
         "Job aborted."},
        {"cleared, then set again", "set Waiting for paper.\nnull\nset Door open.\n", IPP_JSTATE_COMPLETED,
         "Door open."},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.name);
        const int id = print(c.document);
        ASSERT_GT(id, 0);
        std::pair<ipp_jstate_t, std::string> got;
        EXPECT_TRUE(wait_for([&] { return (got = state(id)).first >= IPP_JSTATE_CANCELED; }));
        EXPECT_EQ(got.first, c.state);
        EXPECT_EQ(got.second, c.message);
    }
}

// A text that is a key of the reader's language is given in it; any other,
// and every text to a reader of a language the system lacks, as it is.
TEST_F(PapplMessage, the_job_and_printer_messages_and_the_answers_are_in_the_readers_language)
{
    const int waiting = print("set Waiting for paper.\n");
    const int unknown = print("set Not a key.\n");
    const int cleared = print("set Waiting for paper.\nempty\n");
    ASSERT_GT(waiting, 0);
    ASSERT_GT(unknown, 0);
    ASSERT_GT(cleared, 0);
    ASSERT_TRUE(wait_for([&] {
        return state(waiting).first == IPP_JSTATE_COMPLETED && state(unknown).first == IPP_JSTATE_COMPLETED &&
               state(cleared).first == IPP_JSTATE_COMPLETED;
    }));

    static const struct {
        const char *language;
        const char *waiting, *unknown, *cleared, *printer, *missing_job;
    } kCases[] = {
        {"x-test", "Attente de papier.", "Not a key.", "Fini.", "Repos.", "Pas de travail 4711."},
        {"en", "Waiting for paper.", "Not a key.", "Job completed.", "Idle.", "job-id 4711 not found."},
        {"x-none", "Waiting for paper.", "Not a key.", "Job completed.", "Idle.", "job-id 4711 not found."},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.language);
        EXPECT_EQ(state(waiting, c.language).second, c.waiting);
        EXPECT_EQ(state(unknown, c.language).second, c.unknown);
        EXPECT_EQ(state(cleared, c.language).second, c.cleared);

        static const char *const kPrinterState = "printer-state-message";
        ipp_t *request = request_in(IPP_OP_GET_PRINTER_ATTRIBUTES, c.language);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, kPrinterState);
        ipp_t *response = cupsDoRequest(http_, request, kResource);
        EXPECT_EQ(text_of(response, kPrinterState), c.printer);
        ippDelete(response);

        request = request_in(IPP_OP_GET_JOB_ATTRIBUTES, c.language);
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", 4711);
        response = cupsDoRequest(http_, request, kResource);
        EXPECT_EQ(ippGetStatusCode(response), IPP_STATUS_ERROR_NOT_FOUND);
        EXPECT_EQ(text_of(response, "status-message"), c.missing_job);
        ippDelete(response);
    }
}

// What papplMainloop prints on stderr for an unknown option, in a child
// process of the given language (LANG) that added the given strings.
std::string mainloop_says(const char *lang)
{
    int out[2];
    if (pipe(out) != 0)
        return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        setenv("LANG", lang, 1);
        papplLocAddDefaultStringsData("zh-CN", "\"%s: Unknown option '-%c'.\" = \"%s：未知选项“-%c”。\";\n");
        papplLocAddDefaultStringsData("zh", "\"%s: Unknown option '-%c'.\" = \"%s：选项 -%c 未知。\";\n");
        char name[] = "msgtest", option[] = "-Z";
        char *argv[] = {name, option, nullptr};
        _exit(papplMainloop(2, argv, "1.0", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr) == 1 ? 0 : 3);
    }
    close(out[1]);
    std::string text;
    char buffer[1024];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof(buffer))) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "the child failed: " + text;
    return text.substr(0, text.find('\n'));
}

// The application's strings for the whole language name, then for its first
// two letters, then PAPPL's own, then the English text.
TEST(PapplCommandLine, the_command_lines_messages_are_in_the_processs_language)
{
    static const struct {
        const char *lang;
        const char *said;
    } kCases[] = {
        {"zh_CN.UTF-8", "msgtest：未知选项“-Z”。"},
        {"zh_TW.UTF-8", "msgtest：选项 -Z 未知。"},
        {"de_DE.UTF-8", "msgtest: Unbekannte Option '-Z'."},
        {"C", "msgtest: Unknown option '-Z'."},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.lang);
        EXPECT_EQ(mainloop_says(c.lang), c.said);
    }
}

// The jobs page tells why each job waited or failed, as its message says, in
// the reader's language, and as text, not markup.
TEST_F(PapplMessage, the_jobs_page_shows_each_jobs_message_in_the_readers_language)
{
    const int waiting = print("set Waiting for paper.\n");
    const int markup = print("set <b>bold</b> & more\nfail\n");
    const int plain = print("set Temporary.\nempty\n");
    ASSERT_GT(waiting, 0);
    ASSERT_GT(markup, 0);
    ASSERT_GT(plain, 0);
    ASSERT_TRUE(wait_for([&] { return state(plain).first == IPP_JSTATE_COMPLETED; }));

    static const struct {
        const char *language;
        const char *shows;
        const char *hides;
    } kCases[] = {
        {"x-test", "<br>Attente de papier.</td>", "Waiting for paper."},
        {"en", "<br>Waiting for paper.</td>", "Attente de papier."},
        {"en", "<br>&lt;b>bold&lt;/b> &amp; more</td>", "<b>bold"},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(std::string(c.language) + ": " + c.shows);
        const std::string body = page("/message/jobs", c.language);
        ASSERT_NE(body.find("</html>"), std::string::npos) << body;
        EXPECT_NE(body.find(c.shows), std::string::npos) << body;
        EXPECT_EQ(body.find(c.hides), std::string::npos) << body;
        // A job without a message shows its state's time alone.
        EXPECT_EQ(body.find("<br></td>"), std::string::npos) << body;
    }
}

} // namespace
