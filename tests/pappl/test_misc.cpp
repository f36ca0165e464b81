// Our PAPPL fixes outside the job engine and the state files: each case runs
// a PAPPL system in this process on a loopback port, with a small PostScript
// driver of its own, and talks to it as any IPP client would.
#include <pappl/pappl.h>

#include "tests/pappl/harness.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sched.h>
#include <sys/mount.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ftw.h>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *kDriverName = "misc_ps";

bool copy_document(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device)
{
    int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[16384];
    ssize_t n;
    bool ok = true;
    while (ok && (n = read(fd, buffer, sizeof(buffer))) > 0)
        ok = papplDeviceWrite(device, buffer, static_cast<size_t>(n)) == n &&
             !papplJobIsCanceled(job);
    close(fd);
    papplDeviceFlush(device);
    return ok;
}

void set_media(pappl_media_col_t *media, const char *name, int width, int length)
{
    snprintf(media->size_name, sizeof(media->size_name), "%s", name);
    snprintf(media->source, sizeof(media->source), "main");
    snprintf(media->type, sizeof(media->type), "stationery");
    media->size_width = width;
    media->size_length = length;
    media->left_margin = media->right_margin = 635;
    media->top_margin = media->bottom_margin = 1270;
}

// A driver whose callback succeeds but whose data PAPPL must refuse: no
// raster callbacks, no speed.
constexpr const char *kInvalidDriverName = "misc_invalid";

bool driver_cb(pappl_system_t *, const char *driver_name, const char *, const char *,
               pappl_pr_driver_data_t *d, ipp_t **, void *)
{
    if (strcmp(driver_name, kInvalidDriverName) == 0) {
        snprintf(d->make_and_model, sizeof(d->make_and_model), "Misc Invalid Printer");
        return true;
    }
    if (strcmp(driver_name, kDriverName) != 0)
        return false;
    d->printfile_cb = copy_document;
    accept_raster(d);
    d->format = "application/postscript";
    snprintf(d->make_and_model, sizeof(d->make_and_model), "Misc Test Printer");
    d->ppm = 10;
    d->has_supplies = true;
    d->kind = PAPPL_KIND_DOCUMENT;
    d->color_supported = PAPPL_COLOR_MODE_MONOCHROME;
    d->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    d->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    d->num_resolution = 1;
    d->x_resolution[0] = d->y_resolution[0] = 300;
    d->x_default = d->y_default = 300;
    d->sides_supported = PAPPL_SIDES_ONE_SIDED;
    d->sides_default = PAPPL_SIDES_ONE_SIDED;
    d->num_media = 2;
    d->media[0] = "na_letter_8.5x11in";
    d->media[1] = "iso_a4_210x297mm";
    d->left_right = 635;
    d->bottom_top = 1270;
    set_media(&d->media_default, "na_letter_8.5x11in", 21590, 27940);
    d->num_source = 1;
    d->source[0] = "main";
    d->media_ready[0] = d->media_default;
    d->num_type = 1;
    d->type[0] = "stationery";
    d->orient_default = IPP_ORIENT_NONE;
    d->quality_default = IPP_QUALITY_NORMAL;
    return true;
}

const char *autoadd_cb(const char *, const char *, const char *, void *)
{
    return kDriverName;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}


// One PAPPL system on 127.0.0.1 with its own folder, run on a thread of its
// own until the object goes.
class System {
public:
    // Port 0: PAPPL takes the first free one from 8000 up, so that tests run
    // side by side do not meet.
    explicit System(pappl_soptions_t options, const char *auth_service = nullptr)
    {
        char folder[] = "/tmp/pappl-misc-XXXXXX";
        if (mkdtemp(folder) == nullptr)
            return;
        dir_ = folder;
        // The TLS credentials that PAPPL makes go into this test's folder,
        // not the machine's.
        setenv("CUPS_SERVERROOT", dir_.c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
        std::string spool = dir_ + "/spool", log_file = dir_ + "/log";
        mkdir(spool.c_str(), 0700);
        system_ = papplSystemCreate(options, "Misc Test", 0, nullptr, spool.c_str(),
                                    log_file.c_str(), PAPPL_LOGLEVEL_DEBUG, auth_service, false);
        if (system_ == nullptr)
            return;
        papplSystemAddListeners(system_, "127.0.0.1");
        port_ = papplSystemGetHostPort(system_);
        static pappl_pr_driver_t drivers[] = {
            {kDriverName, "Misc Test Printer", nullptr, nullptr},
            {kInvalidDriverName, "Misc Invalid Printer", nullptr, nullptr}};
        papplSystemSetPrinterDrivers(system_, 2, drivers, autoadd_cb, nullptr, driver_cb,
                                     nullptr);
    }

    ~System()
    {
        if (running_) {
            // PAPPL frees the system under client threads that still run, so
            // the clients' last connections must be closed first.
            wait_for([this] { return clients_closed(); }, std::chrono::seconds(10));
            papplSystemShutdown(system_);
            // The main loop sees the shutdown when its poll wakes; a signal
            // that PAPPL handles (and ignores) wakes it without a client.
            wait_for(
                [this] {
                    if (stopped_)
                        return true;
                    pthread_kill(thread_.native_handle(), SIGHUP);
                    return false;
                },
                std::chrono::seconds(30));
            thread_.join();
        }
        if (system_ != nullptr)
            papplSystemDelete(system_);
        if (!dir_.empty() && getenv("KEEP") == nullptr)
            nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }

    System(const System &) = delete;
    System &operator=(const System &) = delete;

    pappl_system_t *get() const { return system_; }
    const std::string &dir() const { return dir_; }
    int port() const { return port_; }

    pappl_printer_t *add_printer(const char *name, const char *device_uri)
    {
        return papplPrinterCreate(system_, 0, name, kDriverName, "MFG:Misc;MDL:Test;",
                                  device_uri);
    }

    // Starts the system and returns once it answers.
    bool start()
    {
        if (system_ == nullptr)
            return false;
        running_ = true;
        thread_ = std::thread([this] {
            papplSystemRun(system_);
            stopped_ = true;
        });
        return wait_for(
            [this] {
                http_t *http = connect();
                if (http == nullptr)
                    return false;
                httpClose(http);
                return true;
            },
            std::chrono::seconds(30));
    }

    http_t *connect() const
    {
        return httpConnect2("127.0.0.1", port_, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED,
                            1, 5000, nullptr);
    }

    std::string printer_uri(const char *resource) const
    {
        char uri[1024];
        httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof(uri), "ipp", nullptr, "127.0.0.1",
                        port_, resource);
        return uri;
    }

    ipp_t *get_printer_attributes(http_t *http, const char *resource) const
    {
        ipp_t *request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     printer_uri(resource).c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                     nullptr, "tester");
        return cupsDoRequest(http, request, resource);
    }

    std::string log() const
    {
        std::string text;
        if (FILE *f = fopen((dir_ + "/log").c_str(), "r")) {
            char line[4096];
            while (fgets(line, sizeof(line), f) != nullptr)
                text += line;
            fclose(f);
        }
        return text;
    }

    // A Print-Job with the document in data, sent with its length.
    ipp_t *print_job(http_t *http, const char *resource, const std::string &data) const
    {
        ipp_t *request = ippNewRequest(IPP_OP_PRINT_JOB);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     printer_uri(resource).c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                     nullptr, "tester");
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, "misc");
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     "application/postscript");
        if (cupsSendRequest(http, request, resource, data.size()) == HTTP_STATUS_CONTINUE) {
            const size_t chunk = 65536;
            for (size_t at = 0; at < data.size(); at += chunk) {
                if (cupsWriteRequestData(http, data.data() + at,
                                         std::min(chunk, data.size() - at)) !=
                    HTTP_STATUS_CONTINUE)
                    break;
            }
        }
        ippDelete(request);
        return cupsGetResponse(http, resource);
    }

    ipp_t *get_job_attributes(http_t *http, const char *resource, int job_id) const
    {
        ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     printer_uri(resource).c_str());
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                     nullptr, "tester");
        return cupsDoRequest(http, request, resource);
    }

    // GET of a web page in the language given: the status and the body.
    http_status_t get(const char *path, const char *language, std::string *body,
                      const char *authorization = nullptr) const
    {
        body->clear();
        http_t *http = connect();
        if (http == nullptr)
            return HTTP_STATUS_ERROR;
        httpClearFields(http);
        httpSetField(http, HTTP_FIELD_ACCEPT_LANGUAGE, language);
        if (authorization != nullptr)
            httpSetField(http, HTTP_FIELD_AUTHORIZATION, authorization);
        http_status_t status = HTTP_STATUS_ERROR;
        if (httpGet(http, path) == 0) {
            while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE)
                ;
            char buffer[8192];
            ssize_t n;
            while ((n = httpRead2(http, buffer, sizeof(buffer))) > 0)
                body->append(buffer, static_cast<size_t>(n));
        }
        httpClose(http);
        return status;
    }

private:
    bool clients_closed() const
    {
        std::string text = log();
        return count(text, "] Accepted connection from") == count(text, "] Closing connection from");
    }

    static size_t count(const std::string &text, const char *what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    }

    int port_ = 0;
    std::string dir_;
    pappl_system_t *system_ = nullptr;
    std::thread thread_;
    bool running_ = false;
    std::atomic<bool> stopped_{false};
};

int count_of(ipp_t *response, const char *name)
{
    ipp_attribute_t *attr = ippFindAttribute(response, name, IPP_TAG_ZERO);
    return attr == nullptr ? 0 : ippGetCount(attr);
}

std::vector<std::string> strings_of(ipp_t *response, const char *name)
{
    std::vector<std::string> values;
    ipp_attribute_t *attr = ippFindAttribute(response, name, IPP_TAG_ZERO);
    for (int i = 0; attr != nullptr && i < ippGetCount(attr); i++)
        values.emplace_back(ippGetString(attr, i, nullptr));
    return values;
}


// A TCP listener on 127.0.0.1 that never accepts nor reads: the stand-in for
// a network printer's port whose printer has stopped taking data.
class SilentPort {
public:
    SilentPort()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0 ||
            listen(fd_, 1) != 0 ||
            getsockname(fd_, reinterpret_cast<struct sockaddr *>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
    }
    ~SilentPort()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    SilentPort(const SilentPort &) = delete;
    SilentPort &operator=(const SilentPort &) = delete;

    int port() const { return port_; }
    std::string uri() const { return "socket://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

void ignore_device_error(const char *, void *) {}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---------------------------------------------------------------------------

TEST(PapplUpTime, printer_up_time_is_at_least_one_in_the_printers_first_second)
{
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS);
    ASSERT_TRUE(system.start());
    http_t *http = system.connect();
    ASSERT_NE(http, nullptr);

    // A printer made just after the wall clock turns a second, asked within
    // that same second (tried again on the rare run where the request took
    // the clock past it).
    bool asked_in_its_first_second = false;
    for (int attempt = 0; attempt < 5 && !asked_in_its_first_second; attempt++) {
        time_t now = time(nullptr);
        ASSERT_TRUE(wait_for([now] { return time(nullptr) != now; }, std::chrono::seconds(5)));
        std::string name = "uptime" + std::to_string(attempt);
        pappl_printer_t *printer = system.add_printer(name.c_str(), "file:///dev/null");
        ASSERT_NE(printer, nullptr);
        time_t created = time(nullptr);
        ipp_t *response = system.get_printer_attributes(http, ("/ipp/print/" + name).c_str());
        ASSERT_NE(response, nullptr) << cupsLastErrorString();
        asked_in_its_first_second = created == time(nullptr);
        EXPECT_GE(
            ippGetInteger(ippFindAttribute(response, "printer-up-time", IPP_TAG_INTEGER), 0), 1);
        ippDelete(response);
    }
    EXPECT_TRUE(asked_in_its_first_second);

    httpClose(http);
}

TEST(PapplPrinterUris, each_printer_uri_has_its_security_and_authentication_values)
{
    struct Case {
        pappl_soptions_t options;
        std::vector<std::string> schemes, security;
    };
    static const Case cases[] = {
        {PAPPL_SOPTIONS_MULTI_QUEUE, {"ipp", "ipps"}, {"none", "tls"}},
        {PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS, {"ipp"}, {"none"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.schemes.size() == 2 ? "TLS on" : "TLS off");
        System system(c.options);
        ASSERT_NE(system.add_printer("uris", "file:///dev/null"), nullptr);
        ASSERT_TRUE(system.start());
        http_t *http = system.connect();
        ASSERT_NE(http, nullptr);
        ipp_t *response = system.get_printer_attributes(http, "/ipp/print/uris");
        ASSERT_NE(response, nullptr) << cupsLastErrorString();

        std::vector<std::string> schemes;
        for (const std::string &uri : strings_of(response, "printer-uri-supported")) {
            char scheme[32], userpass[32], host[256], resource[256];
            int port;
            httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof(scheme), userpass,
                            sizeof(userpass), host, sizeof(host), &port, resource,
                            sizeof(resource));
            schemes.emplace_back(scheme);
            EXPECT_STREQ(resource, "/ipp/print/uris");
            EXPECT_EQ(port, system.port());
        }
        EXPECT_EQ(schemes, c.schemes);
        EXPECT_EQ(strings_of(response, "uri-security-supported"), c.security);
        EXPECT_EQ(count_of(response, "uri-authentication-supported"),
                  static_cast<int>(c.schemes.size()));
        EXPECT_EQ(count_of(response, "printer-xri-supported"),
                  static_cast<int>(c.schemes.size()));
        ippDelete(response);
        httpClose(http);
    }
}

// A printer made while the system runs, as Create-Printer, the web page and
// the add subcommand make one, reports the number it is found by: the delete
// and default subcommands look it up by that number.
TEST(PapplPrinterId, a_new_printer_reports_the_printer_id_it_is_found_by)
{
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS);
    ASSERT_TRUE(system.start());
    http_t *http = system.connect();
    ASSERT_NE(http, nullptr);
    static const char *const kNames[] = {"first", "second", "third"};
    std::vector<int> seen;
    for (const char *name : kNames) {
        SCOPED_TRACE(name);
        pappl_printer_t *printer = system.add_printer(name, "file:///dev/null");
        ASSERT_NE(printer, nullptr);
        ipp_t *response = system.get_printer_attributes(http, (std::string("/ipp/print/") + name).c_str());
        ASSERT_NE(response, nullptr) << cupsLastErrorString();
        const int reported =
            ippGetInteger(ippFindAttribute(response, "printer-id", IPP_TAG_INTEGER), 0);
        ippDelete(response);
        EXPECT_EQ(reported, papplPrinterGetID(printer));
        EXPECT_EQ(papplSystemFindPrinter(system.get(), nullptr, reported, nullptr), printer);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), reported), 0);
        seen.push_back(reported);
    }
    httpClose(http);
}

TEST(PapplDeviceId, a_network_device_without_an_snmp_agent_is_given_up_after_the_set_wait)
{
    // Nothing answers SNMP on 127.0.0.1 here: each wait is spent in full.
    SilentPort port;
    ASSERT_NE(port.port(), 0);
    static const int waits_ms[] = {300, 1500};
    for (int wait_ms : waits_ms) {
        SCOPED_TRACE(wait_ms);
        papplDeviceSetIDTimeout(wait_ms);
        pappl_device_t *device =
            papplDeviceOpen(port.uri().c_str(), "id", ignore_device_error, nullptr);
        ASSERT_NE(device, nullptr);
        char id[1024];
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(papplDeviceGetID(device, id, sizeof(id)), nullptr);
        double took = seconds_since(start);
        EXPECT_GE(took, wait_ms / 1000.0 - 0.05);
        // Only a hang guard, under the 10 s of a wait that was never set:
        // a busy machine may stretch the set one by seconds.
        EXPECT_LT(took, 8.0);
        papplDeviceClose(device);
    }
    papplDeviceSetIDTimeout(10000);
}

// PostScript of about `bytes` bytes: comments fill it out.
std::string postscript(size_t bytes)
{
    std::string doc = "%!PS-Adobe-3.0\n";
    const std::string line = "% " + std::string(77, 'x') + "\n";
    while (doc.size() < bytes)
        doc += line;
    return doc + "showpage\n";
}

TEST(PapplSpool, a_document_the_spool_cannot_hold_is_refused_with_the_real_reason)
{
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS);
    ASSERT_NE(system.add_printer("spool", "file:///dev/null"), nullptr);
    ASSERT_TRUE(system.start());
    http_t *http = system.connect();
    ASSERT_NE(http, nullptr);

    // A file size limit stands in for a full spool: the write that reaches it
    // is cut short, and the next one fails with EFBIG. The limit is not a
    // multiple of the server's 4 KiB reads, so the short write happens.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 65536 + 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    ipp_t *response = system.print_job(http, "/ipp/print/spool", postscript(1 << 20));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);

    ASSERT_NE(response, nullptr);
    EXPECT_EQ(ippGetStatusCode(response), IPP_STATUS_ERROR_INTERNAL);
    EXPECT_EQ(std::string(cupsLastErrorString()),
              std::string("Unable to write print file: ") + strerror(EFBIG));
    ippDelete(response);
    httpClose(http);
}

TEST(PapplDeviceWrite, a_job_to_a_printer_that_stops_reading_ends_aborted_with_a_reason)
{
    // The printer's port takes a few KiB and then nothing: the job must end
    // once the set wait has passed, not hold its printer for ever.
    SilentPort port;
    ASSERT_NE(port.port(), 0);
    papplDeviceSetWriteTimeout(1000);
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS);
    ASSERT_NE(system.add_printer("stalled", port.uri().c_str()), nullptr);
    ASSERT_TRUE(system.start());
    http_t *http = system.connect();
    ASSERT_NE(http, nullptr);

    // More than the kernel's socket buffers hold.
    ipp_t *response = system.print_job(http, "/ipp/print/stalled", postscript(32 << 20));
    ASSERT_NE(response, nullptr);
    ASSERT_EQ(ippGetStatusCode(response), IPP_STATUS_OK) << cupsLastErrorString();
    int job_id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    ippDelete(response);

    ipp_jstate_t state = IPP_JSTATE_PENDING;
    std::string message, reasons;
    bool ended = wait_for(
        [&] {
            ipp_t *job = system.get_job_attributes(http, "/ipp/print/stalled", job_id);
            if (job == nullptr)
                return false;
            state = static_cast<ipp_jstate_t>(
                ippGetInteger(ippFindAttribute(job, "job-state", IPP_TAG_ENUM), 0));
            ipp_attribute_t *attr = ippFindAttribute(job, "job-state-message", IPP_TAG_TEXT);
            message = attr != nullptr ? ippGetString(attr, 0, nullptr) : "";
            reasons.clear();
            for (const std::string &r : strings_of(job, "job-state-reasons"))
                reasons += r + " ";
            ippDelete(job);
            return state >= IPP_JSTATE_CANCELED;
        },
        std::chrono::seconds(60));
    papplDeviceSetWriteTimeout(300000);
    EXPECT_TRUE(ended) << "the job is still " << ippEnumString("job-state", state);
    EXPECT_EQ(state, IPP_JSTATE_ABORTED);
    EXPECT_NE(message.find("took no data"), std::string::npos) << message;
    EXPECT_NE(reasons.find("aborted-by-system"), std::string::npos) << reasons;
    httpClose(http);
}

TEST(PapplWeb, the_web_pages_load_when_no_footer_is_set)
{
    // A language of PAPPL's own makes the pages look their footer up in it.
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS |
                  PAPPL_SOPTIONS_WEB_INTERFACE);
    ASSERT_NE(system.add_printer("web", "file:///dev/null"), nullptr);
    ASSERT_TRUE(system.start());
    static const char *const languages[] = {"en", "de"};
    for (const char *language : languages) {
        SCOPED_TRACE(language);
        std::string body;
        EXPECT_EQ(system.get("/", language, &body), HTTP_STATUS_OK);
        EXPECT_NE(body.find("</html>"), std::string::npos);
        EXPECT_EQ(system.get("/web/", language, &body), HTTP_STATUS_OK);
        EXPECT_NE(body.find("</html>"), std::string::npos);
    }
}

// A language the application adds is listed in every Get-Printer-Attributes
// answer, once, however many clients asked before.
TEST(PapplStrings, each_answer_lists_the_strings_languages_once)
{
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS);
    ASSERT_NE(system.get(), nullptr);
    papplSystemAddStringsData(system.get(), "/strings/x-test.strings", "x-test",
                              "\"Jobs\" = \"Test Jobs\";\n");
    ASSERT_NE(system.add_printer("strings", "file:///dev/null"), nullptr);
    ASSERT_TRUE(system.start());
    http_t *http = system.connect();
    ASSERT_NE(http, nullptr);
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        ipp_t *response = system.get_printer_attributes(http, "/ipp/print/strings");
        ASSERT_NE(response, nullptr);
        int copies = 0;
        for (ipp_attribute_t *a = ippFirstAttribute(response); a != nullptr;
             a = ippNextAttribute(response)) {
            const char *name = ippGetName(a);
            if (name != nullptr && strcmp(name, "printer-strings-languages-supported") == 0)
                copies++;
        }
        EXPECT_EQ(copies, 1);
        EXPECT_EQ(strings_of(response, "printer-strings-languages-supported"),
                  std::vector<std::string>{"x-test"});
        ippDelete(response);
    }
    httpClose(http);
}

struct StringsCase {
    const char *language;
    const char *data; // may hold a NUL of its own: PAPPL reads up to the first
    const char *key;
    const char *text; // nullptr: the key must have no text
};

// The second case's data goes on after its NUL: a loader that reads past
// the end would find a pair there.
const char kCommentFirst[] = "/* Jobs */\n\"Jobs\" = \"Comment Jobs\";\n";
const char kCommentBetween[] = "\"Jobs\" = \"J\";\n/* Then */\n\"Printers\" = \"Ps\";\n";
const char kBeyondTheEnd[] = "\"Jobs\" = \"J\";\0\"Printers\" = \"Beyond\";\n";

const StringsCase kStringsCases[] = {
    {"x-first", kCommentFirst, "Jobs", "Comment Jobs"},
    {"x-between", kCommentBetween, "Printers", "Ps"},
    {"x-end", kBeyondTheEnd, "Jobs", "J"},
    {"x-end", kBeyondTheEnd, "Printers", nullptr},
};

TEST(PapplStrings, a_strings_file_loads_whole_with_its_comments_and_no_further)
{
    System system(PAPPL_SOPTIONS_NO_TLS);
    ASSERT_NE(system.get(), nullptr);
    for (const StringsCase &c : kStringsCases) {
        std::string path = std::string("/strings/") + c.language + ".strings";
        if (papplSystemFindLoc(system.get(), c.language) == nullptr)
            papplSystemAddStringsData(system.get(), path.c_str(), c.language, c.data);
    }
    for (const StringsCase &c : kStringsCases) {
        SCOPED_TRACE(std::string(c.language) + " " + c.key);
        pappl_loc_t *loc = papplSystemFindLoc(system.get(), c.language);
        ASSERT_NE(loc, nullptr);
        const char *text = papplLocGetString(loc, c.key);
        if (c.text != nullptr)
            EXPECT_STREQ(text, c.text);
        else
            EXPECT_EQ(text, c.key) << "found " << text;
    }
}

// PAPPL has no Korean; English, as for a browser that names no language.
TEST(PapplStrings, a_browser_asking_only_for_languages_not_there_gets_english)
{
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS |
                  PAPPL_SOPTIONS_WEB_INTERFACE);
    ASSERT_NE(system.add_printer("fallback", "file:///dev/null"), nullptr);
    ASSERT_TRUE(system.start());
    static const char *const languages[] = {"ko", "ko-KR,x-none;q=0.5", "", "en"};
    for (const char *language : languages) {
        SCOPED_TRACE(language);
        std::string body;
        ASSERT_EQ(system.get("/fallback/", language, &body), HTTP_STATUS_OK);
        EXPECT_NE(body.find(">Idle, 0 jobs"), std::string::npos) << body;
    }
}

// The values of a keyword attribute in an IPP response, joined by commas.
std::string keywords(ipp_t *response, const char *name)
{
    std::string text;
    ipp_attribute_t *attr = ippFindAttribute(response, name, IPP_TAG_KEYWORD);
    for (int i = 0; i < ippGetCount(attr); i++)
        text += (i > 0 ? "," : "") + std::string(ippGetString(attr, i, nullptr));
    return text;
}

TEST(PapplReasons, every_reason_set_on_a_printer_is_reported_by_ipp_and_on_the_web_page)
{
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS |
                  PAPPL_SOPTIONS_WEB_INTERFACE);
    pappl_printer_t *printer = system.add_printer("reasons", "file:///dev/null");
    ASSERT_NE(printer, nullptr);
    ASSERT_TRUE(system.start());
    struct Reason {
        pappl_preason_t bit;
        const char *keyword;
        const char *web; // as the English status page says it
    };
    static const Reason kReasons[] = {
        {PAPPL_PREASON_OTHER, "other", "See printer."},
        {PAPPL_PREASON_MEDIA_EMPTY, "media-empty", nullptr},
        {PAPPL_PREASON_MEDIA_JAM, "media-jam", "Paper jam."},
        {PAPPL_PREASON_TONER_LOW, "toner-low", nullptr},
        {PAPPL_PREASON_DOOR_OPEN, "door-open", "Door open."},
        {PAPPL_PREASON_IDENTIFY_PRINTER_REQUESTED, "identify-printer-requested", nullptr},
    };
    http_t *http = system.connect();
    ASSERT_NE(http, nullptr);
    for (const Reason &r : kReasons) {
        SCOPED_TRACE(r.keyword);
        papplPrinterSetReasons(printer, r.bit, static_cast<pappl_preason_t>(~0u));
        ipp_t *response = system.get_printer_attributes(http, "/ipp/print/reasons");
        EXPECT_EQ(keywords(response, "printer-state-reasons"), r.keyword);
        ippDelete(response);

        ipp_t *request = ippNewRequest(IPP_OP_GET_SYSTEM_ATTRIBUTES);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr,
                     system.printer_uri("/ipp/system").c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                     "tester");
        response = cupsDoRequest(http, request, "/ipp/system");
        EXPECT_EQ(keywords(response, "system-state-reasons"), r.keyword);
        ippDelete(response);

        if (r.web != nullptr) {
            std::string body;
            EXPECT_EQ(system.get("/", "en", &body), HTTP_STATUS_OK);
            EXPECT_NE(body.find(r.web), std::string::npos);
        }
    }
    // Two at once, both reported.
    papplPrinterSetReasons(printer, static_cast<pappl_preason_t>(PAPPL_PREASON_MEDIA_JAM |
                                                                 PAPPL_PREASON_DOOR_OPEN),
                           static_cast<pappl_preason_t>(~0u));
    ipp_t *response = system.get_printer_attributes(http, "/ipp/print/reasons");
    EXPECT_EQ(keywords(response, "printer-state-reasons"), "media-jam,door-open");
    ippDelete(response);
    httpClose(http);
}

TEST(PapplWeb, the_stylesheet_loads_nothing_from_another_host)
{
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS |
                  PAPPL_SOPTIONS_WEB_INTERFACE);
    ASSERT_TRUE(system.start());
    std::string css;
    ASSERT_EQ(system.get("/style.css", "en", &css), HTTP_STATUS_OK);
    EXPECT_NE(css.find("body"), std::string::npos);
    EXPECT_EQ(css.find("@import"), std::string::npos);
    // Whatever it refers to is written into it (data: URLs).
    for (size_t at = css.find("url("); at != std::string::npos; at = css.find("url(", at + 1)) {
        size_t start = css.find_first_not_of("'\" ", at + 4);
        EXPECT_EQ(css.compare(start, 5, "data:"), 0) << css.substr(at, 80);
    }
}

TEST(PapplAutoDriver, a_printer_added_with_the_auto_driver_keeps_the_driver_chosen)
{
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS);
    pappl_printer_t *printer =
        papplPrinterCreate(system.get(), 0, "auto", "auto", "MFG:Misc;MDL:Test;",
                           "file:///dev/null");
    ASSERT_NE(printer, nullptr);
    EXPECT_STREQ(papplPrinterGetDriverName(printer), kDriverName);
}

// A supply whose level is not known (-1) reads as unknown, not as "-1%".
TEST(PapplSupplies, the_supplies_page_shows_an_unknown_level_as_unknown)
{
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS |
                  PAPPL_SOPTIONS_WEB_INTERFACE);
    pappl_printer_t *printer = system.add_printer("supplies", "file:///dev/null");
    ASSERT_NE(printer, nullptr);
    pappl_supply_t supplies[2] = {};
    snprintf(supplies[0].description, sizeof(supplies[0].description), "Mystery Toner");
    supplies[0].level = -1;
    snprintf(supplies[1].description, sizeof(supplies[1].description), "Known Toner");
    supplies[1].level = 40;
    for (pappl_supply_t &supply : supplies) {
        supply.color = PAPPL_SUPPLY_COLOR_BLACK;
        supply.type = PAPPL_SUPPLY_TYPE_TONER;
        supply.is_consumed = true;
    }
    papplPrinterSetSupplies(printer, 2, supplies);
    ASSERT_TRUE(system.start());
    static const struct {
        const char *language;
        const char *unknown;
    } kCases[] = {{"en", "Unknown"}, {"de", "Unbekannt"}};
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.language);
        std::string body;
        ASSERT_EQ(system.get("/supplies/supplies", c.language, &body), HTTP_STATUS_OK);
        EXPECT_NE(body.find(std::string("<th>Mystery Toner</th><td colspan=\"4\">") + c.unknown + "</td>"),
                  std::string::npos)
            << body;
        EXPECT_EQ(body.find("-1%"), std::string::npos) << body;
        EXPECT_NE(body.find("<th>Known Toner</th>"), std::string::npos) << body;
        EXPECT_NE(body.find("title=\"40%\""), std::string::npos) << body;
    }
}

// A printer without the callbacks to print with is not made: its first job
// would call through a null pointer.
TEST(PapplDriverData, a_printer_whose_driver_gives_invalid_data_is_not_created)
{
    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS);
    ASSERT_NE(system.get(), nullptr);
    errno = 0;
    EXPECT_EQ(papplPrinterCreate(system.get(), 0, "invalid", kInvalidDriverName, "MFG:Misc;MDL:Bad;",
                                 "file:///dev/null"),
              nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(papplSystemFindPrinter(system.get(), "/ipp/print/invalid", 0, nullptr), nullptr);
    EXPECT_NE(papplPrinterCreate(system.get(), 0, "valid", kDriverName, "MFG:Misc;MDL:Test;",
                                 "file:///dev/null"),
              nullptr);
}

bool custom_open(pappl_device_t *, const char *, const char *) { return false; }
void custom_close(pappl_device_t *) {}
ssize_t custom_read(pappl_device_t *, void *, size_t) { return -1; }
ssize_t custom_write(pappl_device_t *, const void *, size_t) { return -1; }

// In a fresh process: registers a scheme of the application's own first and
// counts the schemes missing after it.
int schemes_missing_after_a_custom_one()
{
    papplDeviceAddScheme("x-misc", PAPPL_DEVTYPE_CUSTOM_LOCAL, nullptr, custom_open,
                         custom_close, custom_read, custom_write, nullptr, nullptr);
    static const char *const uris[] = {"x-misc://device", "socket://127.0.0.1:9100",
                                       "snmp://127.0.0.1", "usb://Misc/Test"};
    int missing = 0;
    for (const char *uri : uris) {
        if (!papplDeviceIsSupported(uri)) {
            fprintf(stderr, "not supported: %s\n", uri);
            missing++;
        }
    }
    return missing;
}

TEST(PapplSchemes, a_scheme_of_the_applications_own_leaves_the_built_in_ones)
{
    // The schemes are the process's: the check runs in a process of its own
    // (a death test's), where nothing registered a scheme before.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit(schemes_missing_after_a_custom_one()), ::testing::ExitedWithCode(0), "");
}

// A death test's child runs its test from the start, so it makes a folder of
// its own: it removes it too, before it exits.
int run_and_remove(int (*check)(const char *dir), const char *dir)
{
    int result = check(dir);
    if (getenv("KEEP") == nullptr)
        nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return result;
}

bool count_device(const char *, const char *, const char *, void *data)
{
    ++*static_cast<int *>(data);
    return false;
}

// In a fresh process with no D-Bus system bus to reach: lists DNS-SD
// printers, which finds none, and says how long that took.
int list_dnssd_printers_without_a_bus(const char *dir)
{
    // A bus address whose socket does not exist: nothing answers there.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", (std::string("unix:path=") + dir + "/no_bus_socket").c_str(),
           1);
    int found = 0;
    papplDeviceList(PAPPL_DEVTYPE_DNS_SD, count_device, &found, ignore_device_error, nullptr);
    papplDeviceList(PAPPL_DEVTYPE_DNS_SD, count_device, &found, ignore_device_error, nullptr);
    return found;
}

TEST(PapplDnssd, listing_network_printers_without_a_dbus_bus_finds_none_and_goes_on)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char dir[] = "/tmp/pappl-misc-bus-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    EXPECT_EXIT(exit(run_and_remove(list_dnssd_printers_without_a_bus, dir)),
                ::testing::ExitedWithCode(0), "");
    rmdir(dir);
}

bool write_file(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

std::string read_file(const char *path)
{
    std::string text;
    if (FILE *f = fopen(path, "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
            text.append(buffer, n);
        fclose(f);
    }
    return text;
}

// In a fresh process with a mount namespace of its own: users and a PAM
// service of the test's own over the system's, a PAPPL system that lets the
// group misc-admins administer it, and its settings page asked for by a
// member of that group by a supplementary group only, and by a user outside
// it. Returns the number of answers that were not the ones expected.
int admin_answers_by_group(const char *dir)
{
    std::string d = dir;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        perror("mount namespace");
        return 100;
    }
    mkdir((d + "/pam.d").c_str(), 0755);
    // Any password passes: the group check is what is tried here.
    if (!write_file(d + "/pam.d/quovel-misc-test",
                    "auth required pam_permit.so\naccount required pam_permit.so\n") ||
        !write_file(d + "/passwd", read_file("/etc/passwd") +
                                       "misc-member:x:4242:4242::/nonexistent:/bin/false\n"
                                       "misc-other:x:4244:4242::/nonexistent:/bin/false\n") ||
        !write_file(d + "/group", read_file("/etc/group") +
                                      "misc-own:x:4242:\nmisc-admins:x:4243:misc-member\n"))
        return 101;
    static const char *const binds[][2] = {
        {"/pam.d", "/etc/pam.d"}, {"/passwd", "/etc/passwd"}, {"/group", "/etc/group"}};
    for (const auto &b : binds) {
        if (mount((d + b[0]).c_str(), b[1], nullptr, MS_BIND, nullptr) != 0) {
            perror(b[1]);
            return 102;
        }
    }

    System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS |
                      PAPPL_SOPTIONS_WEB_INTERFACE,
                  "quovel-misc-test");
    papplSystemSetAdminGroup(system.get(), "misc-admins");
    if (!system.start())
        return 103;
    struct Case {
        const char *user;
        http_status_t expected;
    };
    static const Case cases[] = {
        {"misc-member", HTTP_STATUS_OK},
        {"misc-other", HTTP_STATUS_FORBIDDEN},
    };
    int wrong = 0;
    for (const Case &c : cases) {
        std::string credentials = std::string(c.user) + ":secret";
        char encoded[256];
        httpEncode64_2(encoded, sizeof(encoded), credentials.c_str(),
                       static_cast<int>(credentials.size()));
        std::string authorization = std::string("Basic ") + encoded;
        std::string body;
        http_status_t status = system.get("/config", "en", &body, authorization.c_str());
        if (status != c.expected) {
            fprintf(stderr, "%s got %d, not %d\n", c.user, static_cast<int>(status),
                    static_cast<int>(c.expected));
            wrong++;
        }
    }
    return wrong;
}

TEST(PapplLogin, a_member_of_the_admin_group_by_a_supplementary_group_is_let_in)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char dir[] = "/tmp/pappl-misc-pam-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    EXPECT_EXIT(exit(run_and_remove(admin_answers_by_group, dir)), ::testing::ExitedWithCode(0),
                "");
    if (getenv("KEEP") == nullptr)
        nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// Runs a program with its output appended to log; its process ID, or -1.
pid_t spawn(const std::vector<std::string> &args, const std::string &log)
{
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    std::transform(args.begin(), args.end(), std::back_inserter(argv),
                   [](const std::string &a) { return const_cast<char *>(a.c_str()); });
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// What a program printed, once it has ended.
std::string output_of(const std::vector<std::string> &args, const std::string &log)
{
    unlink(log.c_str());
    pid_t pid = spawn(args, log);
    int status;
    if (pid > 0)
        waitpid(pid, &status, 0);
    return read_file(log.c_str());
}

void stop(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

bool loopback_up_with_multicast()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr {};
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "lo");
    bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_MULTICAST);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

// In a fresh process with a network and mount namespace of its own: a
// private D-Bus system bus and Avahi daemon on the loopback interface, a
// running PAPPL system, and a printer added to it with Create-Printer.
// Returns 0 once Avahi lists the printer's IPP service.
int create_printer_and_browse(const char *dir)
{
    std::string d = dir;
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0 || !loopback_up_with_multicast()) {
        perror("namespace");
        return 100;
    }
    mkdir("/run/avahi-daemon", 0755);
    if (!write_file(d + "/bus.conf",
                    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                    "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                    "busconfig.dtd\">\n<busconfig><type>system</type><listen>unix:path=" +
                        d + "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                        "<allow user=\"*\"/><allow own=\"*\"/>"
                        "<allow send_type=\"method_call\"/><allow send_type=\"signal\"/>"
                        "<allow send_type=\"method_return\"/><allow send_type=\"error\"/>"
                        "<allow receive_type=\"method_call\"/><allow receive_type=\"signal\"/>"
                        "<allow receive_type=\"method_return\"/>"
                        "<allow receive_type=\"error\"/></policy></busconfig>\n") ||
        !write_file(d + "/avahi.conf",
                    "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nenable-dbus=yes\n"
                    "[wide-area]\nenable-wide-area=no\n[publish]\npublish-hinfo=no\n"
                    "publish-workstation=no\n[reflector]\nenable-reflector=no\n"))
        return 101;
    pid_t bus = spawn({"dbus-daemon", "--config-file=" + d + "/bus.conf", "--nofork",
                       "--nopidfile"},
                      d + "/dbus.log");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + d + "/bus").c_str(), 1);
    struct stat st;
    wait_for([&] { return stat((d + "/bus").c_str(), &st) == 0; }, std::chrono::seconds(10));
    pid_t avahi = spawn({"avahi-daemon", "-f", d + "/avahi.conf", "--no-drop-root", "--no-chroot",
                         "--no-rlimits"},
                        d + "/avahi.log");
    int result = 102;
    if (wait_for(
            [&] {
                return read_file((d + "/avahi.log").c_str()).find("Server startup complete") !=
                       std::string::npos;
            },
            std::chrono::seconds(20))) {
        System system(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS);
        result = 103;
        if (system.start()) {
            http_t *http = system.connect();
            ipp_t *request = ippNewRequest(IPP_OP_CREATE_PRINTER);
            char uri[1024];
            httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof(uri), "ipp", nullptr, "127.0.0.1",
                            system.port(), "/ipp/system");
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr, uri);
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                         nullptr, "tester");
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "printer-service-type",
                         nullptr, "print");
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "smi55357-driver",
                         nullptr, kDriverName);
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "smi55357-device-uri",
                         nullptr, "file:///dev/null");
            ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr,
                         "Announced");
            ipp_t *response = cupsDoRequest(http, request, "/ipp/system");
            if (response == nullptr || ippGetStatusCode(response) != IPP_STATUS_OK) {
                fprintf(stderr, "Create-Printer: %s\n", cupsLastErrorString());
                result = 104;
            } else {
                result = wait_for(
                             [&] {
                                 return output_of({"avahi-browse", "-t", "-p", "_ipp._tcp"},
                                                  d + "/browse.out")
                                            .find(";Announced;") != std::string::npos;
                             },
                             std::chrono::seconds(20))
                             ? 0
                             : 105;
                if (result != 0)
                    fprintf(stderr, "Avahi lists: %s\n",
                            output_of({"avahi-browse", "-t", "-p", "-a"}, d + "/browse.out")
                                .c_str());
            }
            ippDelete(response);
            httpClose(http);
        }
    }
    stop(avahi);
    stop(bus);
    return result;
}

TEST(PapplDnssd, a_printer_added_with_create_printer_is_announced_at_once)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char dir[] = "/tmp/pappl-misc-mdns-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    EXPECT_EXIT(exit(run_and_remove(create_printer_and_browse, dir)),
                ::testing::ExitedWithCode(0), "");
    if (getenv("KEEP") == nullptr)
        nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// A save callback that stands for a slow disk: while held, a save waits
// until the test lets it go.
struct SlowDisk {
    std::atomic<bool> held{true};
    std::atomic<int> saving{0};
};

bool slow_save(pappl_system_t *, void *data)
{
    auto *disk = static_cast<SlowDisk *>(data);
    disk->saving++;
    while (disk->held)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    disk->saving--;
    return true;
}

// Whether a new client's Get-Printer-Attributes is answered within 5 s.
bool answered_at_once(const System &system)
{
    http_t *http = system.connect();
    if (http == nullptr)
        return false;
    httpSetTimeout(http, 5.0, nullptr, nullptr);
    ipp_t *response = system.get_printer_attributes(http, "/ipp/print/slow");
    const bool ok = response != nullptr && ippGetStatusCode(response) == IPP_STATUS_OK;
    ippDelete(response);
    httpClose(http);
    return ok;
}

// A running system with one printer, whose saves go to a slow disk that the
// test holds; let go at the end, so that the system can stop.
class PapplSave : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(system.get(), nullptr);
        papplSystemSetSaveCallback(system.get(), slow_save, &disk);
        printer = system.add_printer("slow", "file:///dev/null");
        ASSERT_NE(printer, nullptr);
        ASSERT_TRUE(system.start());
    }
    void TearDown() override { disk.held = false; }

    SlowDisk disk;
    System system{PAPPL_SOPTIONS_MULTI_QUEUE};
    pappl_printer_t *printer = nullptr;
};

TEST_F(PapplSave, a_slow_save_does_not_keep_new_clients_from_being_answered)
{
    // The listener takes connections before the main loop runs, and a change
    // counts only once it does.
    ASSERT_TRUE(wait_for([&] { return papplSystemIsRunning(system.get()); }));

    // A change outside any request is saved in the background, where the
    // disk holds it.
    papplPrinterSetLocation(printer, "Second floor");
    ASSERT_TRUE(wait_for([&] { return disk.saving > 0; }));
    EXPECT_TRUE(answered_at_once(system));
}

TEST_F(PapplSave, a_request_that_changes_nothing_does_not_wait_for_other_changes_to_be_saved)
{
    // Others keep changing the configuration (as job threads do under load)
    // while the disk holds a save.
    std::atomic<bool> changing{true};
    std::thread changer([&] {
        for (unsigned n = 0; changing; n++) {
            papplPrinterSetLocation(printer, n % 2 != 0 ? "Second floor" : "Third floor");
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    EXPECT_TRUE(wait_for([&] { return disk.saving > 0; }));
    for (int i = 0; i < 5; i++)
        EXPECT_TRUE(answered_at_once(system)) << "request " << i;
    changing = false;
    changer.join();
}

} // namespace
