// A job's message as an IPP client reads it once the job has ended: the
// driver sets and clears it as its document says, and what is left must be
// true of the job's end.
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

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

bool start_job(pappl_job_t *, pappl_pr_options_t *, pappl_device_t *) { return true; }
bool start_page(pappl_job_t *, pappl_pr_options_t *, pappl_device_t *, unsigned) { return true; }
bool write_line(pappl_job_t *, pappl_pr_options_t *, pappl_device_t *, unsigned, const unsigned char *)
{
    return true;
}

pappl_pr_driver_t g_drivers[] = {{"message_ps", "Message Test PostScript", nullptr, nullptr}};

bool driver_setup(pappl_system_t *, const char *, const char *, const char *, pappl_pr_driver_data_t *data,
                  ipp_t **, void *)
{
    data->printfile_cb = print_file;
    data->rstartjob_cb = start_job;
    data->rendjob_cb = start_job;
    data->rstartpage_cb = start_page;
    data->rendpage_cb = start_page;
    data->rwriteline_cb = write_line;
    describe_a4_postscript_printer(data, "Message Test PostScript", 423);
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    return true;
}

class PapplMessage : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/message-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        port_ = free_port();
        ASSERT_GT(port_, 0);
        const std::string spool = dir_ + "/spool", log = dir_ + "/log";
        ASSERT_EQ(mkdir(spool.c_str(), 0700), 0);
        system_ = papplSystemCreate(PAPPL_SOPTIONS_MULTI_QUEUE, "Message Test", port_, nullptr, spool.c_str(),
                                    log.c_str(), PAPPL_LOGLEVEL_DEBUG, nullptr, false);
        ASSERT_NE(system_, nullptr);
        ASSERT_TRUE(papplSystemAddListeners(system_, "127.0.0.1"));
        papplSystemSetPrinterDrivers(system_, 1, g_drivers, nullptr, nullptr, driver_setup, nullptr);
        ASSERT_NE(papplPrinterCreate(system_, 0, "message", "message_ps", "MFG:Message;MDL:Test;CMD:POSTSCRIPT;",
                                     "file:///dev/null"),
                  nullptr);
        // A timer bounds the main loop's wait, so that it sees the shutdown.
        papplSystemAddTimerCallback(system_, 0, 1, [](pappl_system_t *, void *) { return true; }, nullptr);
        runner_ = std::thread([this] { papplSystemRun(system_); });
        ASSERT_TRUE(wait_for([this] { return papplSystemIsRunning(system_); }));
        http_ = httpConnect2("127.0.0.1", port_, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
        ASSERT_NE(http_, nullptr);
    }

    void TearDown() override
    {
        httpClose(http_);
        if (runner_.joinable()) {
            papplSystemShutdown(system_);
            runner_.join();
        }
        papplSystemDelete(system_);
        std::error_code ignored;
        if (!HasFailure())
            std::filesystem::remove_all(dir_, ignored);
        else
            fprintf(stderr, "kept the spool and log in %s\n", dir_.c_str());
    }

    // Print-Job; the job's ID, or 0.
    int print(const std::string &document)
    {
        ipp_t *request = ippNewRequest(IPP_OP_PRINT_JOB);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri().c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "message");
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     "application/postscript");
        ipp_t *response = nullptr;
        if (cupsSendRequest(http_, request, kResource, CUPS_LENGTH_VARIABLE) == HTTP_STATUS_CONTINUE &&
            cupsWriteRequestData(http_, document.data(), document.size()) == HTTP_STATUS_CONTINUE)
            response = cupsGetResponse(http_, kResource);
        ippDelete(request);
        const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
        ippDelete(response);
        return id;
    }

    // The job's state and message; the message empty when none is reported.
    std::pair<ipp_jstate_t, std::string> state(int id)
    {
        static const char *const kWanted[] = {"job-state", "job-state-message"};
        ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri().c_str());
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
        ipp_t *response = cupsDoRequest(http_, request, kResource);
        const auto s = static_cast<ipp_jstate_t>(ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0));
        const char *m = ippGetString(ippFindAttribute(response, "job-state-message", IPP_TAG_TEXT), 0, nullptr);
        std::pair<ipp_jstate_t, std::string> got(s, m != nullptr ? m : "");
        ippDelete(response);
        return got;
    }

    std::string uri() const { return "ipp://127.0.0.1:" + std::to_string(port_) + kResource; }

    static constexpr const char *kResource = "/ipp/print/message";
    std::string dir_;
    int port_ = 0;
    pappl_system_t *system_ = nullptr;
    http_t *http_ = nullptr;
    std::thread runner_;
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

} // namespace
