// PAPPL's orderly shutdown: papplSystemRun may return, and its caller free the
// system, only once no job thread is left using a printer or the system.
//
// The job thread of a printer deleted while it printed deletes the printer
// itself after the job has left the printer's active jobs. The test holds
// that thread twice through callbacks PAPPL calls there: in the system's
// event callback (printer-deleted) until the main loop has either begun to
// shut down or said it waits for the thread, and in the driver's delete
// callback until papplSystemRun has returned or is known to wait. Where the
// thread was when papplSystemRun returned is then a plain fact, not only an
// ASan report.
#include <pappl/pappl.h>

#include "tests/pappl/harness.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Guards against a hang only; every wait polls for a state.
constexpr auto kHangBound = std::chrono::seconds(30);

// How far the job thread has come in deleting its printer.
enum Stage { kFinishing, kInEvent, kEventDone, kInDeleteCallback, kDeleted };
const char *const kStages[] = {
    "still finishing its job", "in the printer-deleted event", "between the event and the printer's deletion",
    "in the driver's delete callback", "done with the printer"};

// What the callbacks and the thread running papplSystemRun share.
struct Shared {
    std::string log;                          // the system's log file
    std::atomic<pid_t> runner{0};             // thread running papplSystemRun
    std::atomic<bool> printing{false};        // the job is in its print callback
    std::atomic<bool> release_job{false};     // lets the print callback end
    std::atomic<bool> event_bound_hit{false}; // the event was held until the hang bound
    std::atomic<bool> waits{false};           // the main loop said it waits for the thread
    std::atomic<int> stage{kFinishing};       // where the job thread is
    std::atomic<bool> returned{false};        // papplSystemRun returned
    std::atomic<int> stage_at_return{kFinishing};
} g_shared;

bool log_has(const char *text)
{
    std::ifstream in(g_shared.log);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return all.find(text) != std::string::npos;
}

// Whether a thread of this process is blocked (state S in its stat line).
bool thread_sleeps(pid_t tid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/task/%d/stat", static_cast<int>(tid));
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

bool print_file(pappl_job_t *, pappl_pr_options_t *, pappl_device_t *)
{
    g_shared.printing = true;
    return wait_for([] { return g_shared.release_job.load(); }, kHangBound);
}

// Runs on the job thread once the job has left the printer's active jobs,
// before the printer is taken from the system. Without the wait for job
// threads, the main loop sees no active job and, after logging that it shuts
// down, blocks for the system's lock that this callback holds for reading;
// it is let go only then, so it takes that lock before the job thread does.
void event_cb(pappl_system_t *, pappl_printer_t *, pappl_job_t *, pappl_event_t event, void *)
{
    if ((event & PAPPL_EVENT_PRINTER_DELETED) == 0)
        return;
    g_shared.stage = kInEvent;
    const bool seen = wait_for([] {
        if (log_has("Waiting for 1 job thread(s) to end before shutting down.")) {
            g_shared.waits = true;
            return true;
        }
        return g_shared.returned || (log_has("Shutting down system.") && thread_sleeps(g_shared.runner));
    }, kHangBound);
    g_shared.event_bound_hit = !seen;
    g_shared.stage = kEventDone;
}

// Runs on the job thread while it frees the deleted printer.
void delete_cb(pappl_printer_t *, pappl_pr_driver_data_t *)
{
    g_shared.stage = kInDeleteCallback;
    wait_for([] { return g_shared.returned || g_shared.waits; }, kHangBound);
    g_shared.stage = kDeleted;
}

pappl_pr_driver_t g_drivers[] = {{"shutdown_ps", "Shutdown Test PostScript", nullptr, nullptr}};

bool driver_setup(pappl_system_t *, const char *, const char *, const char *, pappl_pr_driver_data_t *data,
                  ipp_t **, void *)
{
    data->printfile_cb = print_file;
    data->delete_cb = delete_cb;
    // No test job is raster.
    accept_raster(data);
    describe_a4_postscript_printer(data, "Shutdown Test PostScript", 0);
    data->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_1;
    return true;
}

ipp_status_t send(http_t *http, ipp_t *request, const char *resource, const std::string &body = std::string())
{
    ipp_t *response = send_document(http, request, resource, body);
    const ipp_status_t status = response != nullptr ? ippGetStatusCode(response) : cupsLastError();
    ippDelete(response);
    return status;
}

TEST(PapplShutdown, the_system_stops_only_once_the_job_thread_deleting_its_printer_is_done)
{
    char dir[] = "/tmp/shutdown-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string spool = std::string(dir) + "/spool";
    ASSERT_EQ(mkdir(spool.c_str(), 0700), 0);
    g_shared.log = std::string(dir) + "/log";
    const int port = free_port();
    ASSERT_GT(port, 0);

    pappl_system_t *system = papplSystemCreate(PAPPL_SOPTIONS_MULTI_QUEUE, "Shutdown Test", port, nullptr,
                                               spool.c_str(), g_shared.log.c_str(), PAPPL_LOGLEVEL_DEBUG,
                                               nullptr, false);
    ASSERT_NE(system, nullptr);
    ASSERT_TRUE(papplSystemAddListeners(system, "127.0.0.1"));
    papplSystemSetPrinterDrivers(system, 1, g_drivers, nullptr, nullptr, driver_setup, nullptr);
    papplSystemSetEventCallback(system, event_cb, nullptr);
    pappl_printer_t *printer = papplPrinterCreate(system, 0, "leaving", "shutdown_ps",
                                                  "MFG:Shutdown;MDL:Test;CMD:POSTSCRIPT;", "file:///dev/null");
    ASSERT_NE(printer, nullptr);
    const int printer_id = papplPrinterGetID(printer);
    // The main loop sees the shutdown request when its poll() returns; a
    // timer each second bounds that wait.
    papplSystemAddTimerCallback(system, 0, 1, [](pappl_system_t *, void *) { return true; }, nullptr);

    std::thread runner([system] {
        g_shared.runner = gettid();
        papplSystemRun(system);
        g_shared.stage_at_return = g_shared.stage.load();
        g_shared.returned = true;
    });
    runner.detach();
    ASSERT_TRUE(wait_for([system] { return papplSystemIsRunning(system); }, kHangBound));

    http_t *http = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
    ASSERT_NE(http, nullptr);
    const std::string printer_uri = "ipp://127.0.0.1:" + std::to_string(port) + "/ipp/print/leaving";
    ipp_t *job = ippNewRequest(IPP_OP_PRINT_JOB);
    ippAddString(job, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer_uri.c_str());
    ippAddString(job, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "shutdown");
    ippAddString(job, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, "application/postscript");
    ASSERT_EQ(send(http, job, "/ipp/print/leaving", "%!PS\nshowpage\n"), IPP_STATUS_OK) << cupsLastErrorString();
    ASSERT_TRUE(wait_for([] { return g_shared.printing.load(); }, kHangBound));

    // Deleted while it prints: the job's own thread deletes it at the end.
    const std::string system_uri = "ipp://127.0.0.1:" + std::to_string(port) + "/ipp/system";
    ipp_t *del = ippNewRequest(IPP_OP_DELETE_PRINTER);
    ippAddString(del, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr, system_uri.c_str());
    ippAddString(del, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "shutdown");
    ippAddInteger(del, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "printer-id", printer_id);
    EXPECT_EQ(send(http, del, "/ipp/system"), IPP_STATUS_OK) << cupsLastErrorString();
    httpClose(http);

    papplSystemShutdown(system);
    g_shared.release_job = true;

    // Far beyond the forced shutdown a minute after the request.
    ASSERT_TRUE(wait_for([] { return g_shared.returned.load(); }, std::chrono::seconds(120)));
    const int stage = g_shared.stage_at_return;
    EXPECT_EQ(stage, kDeleted) << "papplSystemRun returned before the job thread was done with its printer; "
                                  "just after the return the thread was "
                               << kStages[stage];
    EXPECT_FALSE(g_shared.event_bound_hit) << "the main loop neither shut down nor waited for the job thread";

    if (stage == kDeleted) {
        papplSystemDelete(system);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    } else {
        // Freeing the system now would free it under the job thread.
        fprintf(stderr, "left the system undeleted; log in %s\n", dir);
    }
}

}  // namespace
