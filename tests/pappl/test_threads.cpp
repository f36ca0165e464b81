// PAPPL's threads against each other: the main loop, client threads, job
// threads and the application's own calls, on one system on a loopback port.
// Each case does what a busy print server does at once; run in the
// ThreadSanitizer build (-DQUOVEL_TSAN=ON), a data race or a lock taken out
// of order fails it, and in any build it checks that the work got done.
#include <cups/cups.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pappl/pappl.h>

#include "tests/pappl/harness.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// While closed, jobs wait in the print callback, so that a case can act
// while a job prints.
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool closed = false;
    int waiting = 0;
    void set(bool close)
    {
        std::lock_guard<std::mutex> hold(lock);
        closed = close;
        changed.notify_all();
    }
    void pass()
    {
        std::unique_lock<std::mutex> hold(lock);
        waiting++;
        changed.wait(hold, [this] { return !closed; });
        waiting--;
    }
    int how_many_wait()
    {
        std::lock_guard<std::mutex> hold(lock);
        return waiting;
    }
} g_gate;

bool print_file(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device)
{
    g_gate.pass();
    const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[8192];
    ssize_t n;
    bool ok = true;
    while (ok && (n = read(fd, buf, sizeof(buf))) > 0)
        ok = papplDeviceWrite(device, buf, static_cast<size_t>(n)) == n;
    close(fd);
    return ok;
}

// How often the printers' status was asked for. A driver may read the
// printer's reasons while it updates them.
std::atomic<int> g_status_asked{0};

bool printer_status(pappl_printer_t *printer)
{
    g_status_asked++;
    papplPrinterSetReasons(printer, papplPrinterGetReasons(printer) & PAPPL_PREASON_OTHER, PAPPL_PREASON_NONE);
    return true;
}

pappl_pr_driver_t g_drivers[] = {{"threads_ps", "Threads Test PostScript", nullptr, nullptr}};

bool driver_setup(pappl_system_t *, const char *, const char *, const char *, pappl_pr_driver_data_t *data,
                  ipp_t **, void *)
{
    data->printfile_cb = print_file;
    data->status_cb = printer_status;
    accept_raster(data);
    describe_a4_postscript_printer(data, "Threads Test PostScript", 423);
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    return true;
}

class PapplThreads : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_gate.set(false);
        ASSERT_NO_FATAL_FAILURE(sys_.create());
    }

    // A job still held in the print callback would keep the main loop from
    // returning.
    void TearDown() override { g_gate.set(false); }

    pappl_printer_t *add_printer(const std::string &name)
    {
        return papplPrinterCreate(sys_.system(), 0, name.c_str(), "threads_ps", "MFG:Threads;MDL:Test;CMD:POSTSCRIPT;",
                                  "file:///dev/null");
    }

    ipp_t *new_request(ipp_op_t op, const std::string &resource) const
    {
        ipp_t *request = ippNewRequest(op);
        const std::string uri = "ipp://127.0.0.1:" + std::to_string(sys_.port()) + resource;
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI,
                     resource == "/ipp/system" ? "system-uri" : "printer-uri", nullptr, uri.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "threads");
        return request;
    }

    // Print-Job of a small PostScript document; the job's ID, or 0.
    // The IDs of n jobs printed one after another; 0 for a job refused.
    std::vector<int> print_jobs(http_t *http, const std::string &printer, int n)
    {
        std::vector<int> ids;
        ids.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; i++)
            ids.push_back(print(http, printer));
        return ids;
    }

    int print(http_t *http, const std::string &printer)
    {
        const std::string resource = "/ipp/print/" + printer;
        ipp_t *request = new_request(IPP_OP_PRINT_JOB, resource);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     "application/postscript");
        ipp_t *response = send_document(http, request, resource.c_str(), "%!PS\nshowpage\n");
        const int id = ippGetStatusCode(response) < IPP_STATUS_REDIRECTION_OTHER_SITE
                           ? ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0)
                           : 0;
        ippDelete(response);
        return id;
    }

    ipp_jstate_t job_state(http_t *http, const std::string &printer, int id)
    {
        const std::string resource = "/ipp/print/" + printer;
        ipp_t *request = new_request(IPP_OP_GET_JOB_ATTRIBUTES, resource);
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
        ipp_t *response = cupsDoRequest(http, request, resource.c_str());
        const auto state =
            static_cast<ipp_jstate_t>(ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0));
        ippDelete(response);
        return state;
    }

    bool all_completed(http_t *http, const std::string &printer, const std::vector<int> &ids)
    {
        return std::all_of(ids.begin(), ids.end(),
                           [&](int id) { return job_state(http, printer, id) == IPP_JSTATE_COMPLETED; });
    }

    RunningSystem sys_{"Threads Test", PAPPL_SOPTIONS_MULTI_QUEUE, g_drivers, 1, driver_setup};
};

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        n++;
    return n;
}

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(PapplThreads, a_printer_created_while_the_state_is_saved_takes_no_lock_out_of_order)
{
    ASSERT_NO_FATAL_FAILURE(sys_.start());
    const std::string state = sys_.dir() + "/state";
    std::atomic<bool> done{false};
    std::thread saver([&] {
        while (!done)
            papplSystemSaveState(sys_.system(), state.c_str());
    });
    for (int i = 0; i < 6; i++)
        EXPECT_NE(add_printer("p" + std::to_string(i)), nullptr);
    done = true;
    saver.join();
    ASSERT_TRUE(papplSystemSaveState(sys_.system(), state.c_str()));
    EXPECT_EQ(count_of(read_all(state), "<Printer "), 6u);
}

TEST_F(PapplThreads, jobs_created_while_the_state_is_saved_take_no_lock_out_of_order)
{
    ASSERT_NE(add_printer("saved"), nullptr);
    ASSERT_NO_FATAL_FAILURE(sys_.start());
    const std::string state = sys_.dir() + "/state";
    std::atomic<bool> done{false};
    std::thread saver([&] {
        while (!done)
            papplSystemSaveState(sys_.system(), state.c_str());
    });
    http_t *http = sys_.connect();
    ASSERT_NE(http, nullptr);
    const std::vector<int> ids = print_jobs(http, "saved", 8);
    done = true;
    saver.join();
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 0), 0) << "a job was refused";
    EXPECT_TRUE(wait_for([&] { return all_completed(http, "saved", ids); }));
    httpClose(http);
}

TEST_F(PapplThreads, a_client_polling_jobs_as_they_print_reads_each_job_under_its_lock)
{
    ASSERT_NE(add_printer("polled"), nullptr);
    ASSERT_NO_FATAL_FAILURE(sys_.start());
    http_t *http = sys_.connect();
    ASSERT_NE(http, nullptr);
    const std::vector<int> ids = print_jobs(http, "polled", 8);
    ASSERT_EQ(std::count(ids.begin(), ids.end(), 0), 0) << "a job was refused";

    // Get-Jobs and Get-Job-Attributes from a second client as the jobs start
    // and end: every answer lists every job, each in a state a job can have.
    http_t *poller = sys_.connect();
    ASSERT_NE(poller, nullptr);
    size_t answers = 0, whole = 0;
    const bool ended = wait_for([&] {
        ipp_t *request = new_request(IPP_OP_GET_JOBS, "/ipp/print/polled");
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
        static const char *const wanted[] = {"job-id", "job-state", "job-state-reasons"};
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr, wanted);
        ipp_t *response = cupsDoRequest(poller, request, "/ipp/print/polled");
        size_t listed = 0;
        bool valid = true;
        for (ipp_attribute_t *a = ippFindAttribute(response, "job-state", IPP_TAG_ENUM); a != nullptr;
             a = ippFindNextAttribute(response, "job-state", IPP_TAG_ENUM)) {
            listed++;
            valid = valid && ippGetInteger(a, 0) >= IPP_JSTATE_PENDING && ippGetInteger(a, 0) <= IPP_JSTATE_COMPLETED;
        }
        ippDelete(response);
        answers++;
        whole += listed == ids.size() && valid ? 1u : 0u;
        return all_completed(poller, "polled", ids);
    });
    EXPECT_TRUE(ended);
    EXPECT_EQ(whole, answers);
    httpClose(poller);
    httpClose(http);
}

TEST_F(PapplThreads, printer_attributes_asked_for_as_jobs_start_and_end_are_read_without_a_race)
{
    ASSERT_NE(add_printer("asked"), nullptr);
    ASSERT_NO_FATAL_FAILURE(sys_.start());
    http_t *http = sys_.connect();
    ASSERT_NE(http, nullptr);
    std::vector<int> ids;
    ids.reserve(8);
    for (int i = 0; i < 8; i++)
        ids.push_back(print(http, "asked"));
    ASSERT_EQ(std::count(ids.begin(), ids.end(), 0), 0) << "a job was refused";

    // Get-Printer-Attributes from two more clients, each of which may ask
    // the driver for the printer's status while no job prints.
    const int asked_before = g_status_asked;
    std::atomic<bool> done{false};
    std::atomic<int> answers{0}, failures{0};
    std::vector<std::thread> askers;
    askers.reserve(2);
    for (int a = 0; a < 2; a++)
        askers.emplace_back([&] {
            http_t *asker = sys_.connect();
            if (asker == nullptr) {
                failures++;
                return;
            }
            while (!done) {
                ipp_t *request = new_request(IPP_OP_GET_PRINTER_ATTRIBUTES, "/ipp/print/asked");
                ipp_t *response = cupsDoRequest(asker, request, "/ipp/print/asked");
                if (ippGetStatusCode(response) == IPP_STATUS_OK &&
                    ippFindAttribute(response, "printer-state", IPP_TAG_ENUM) != nullptr)
                    answers++;
                else
                    failures++;
                ippDelete(response);
            }
            httpClose(asker);
        });
    const bool ended = wait_for([&] { return all_completed(http, "asked", ids); });
    // Once the jobs are done, the next question asks the driver.
    EXPECT_TRUE(wait_for([&] { return g_status_asked > asked_before; }));
    done = true;
    for (auto &asker : askers)
        asker.join();
    EXPECT_TRUE(ended);
    EXPECT_GT(answers.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    httpClose(http);
}

TEST_F(PapplThreads, system_attributes_asked_for_as_jobs_end_are_read_without_a_race)
{
    ASSERT_NE(add_printer("system"), nullptr);
    ASSERT_NO_FATAL_FAILURE(sys_.start());
    http_t *http = sys_.connect();
    ASSERT_NE(http, nullptr);
    const std::vector<int> ids = print_jobs(http, "system", 6);
    ASSERT_EQ(std::count(ids.begin(), ids.end(), 0), 0) << "a job was refused";
    size_t answers = 0, with_time = 0;
    const bool ended = wait_for([&] {
        ipp_t *response = cupsDoRequest(http, new_request(IPP_OP_GET_SYSTEM_ATTRIBUTES, "/ipp/system"), "/ipp/system");
        answers++;
        with_time += ippFindAttribute(response, "system-config-change-date-time", IPP_TAG_DATE) != nullptr ? 1u : 0u;
        ippDelete(response);
        return all_completed(http, "system", ids);
    });
    EXPECT_TRUE(ended);
    EXPECT_EQ(with_time, answers);
    httpClose(http);
}

TEST_F(PapplThreads, printers_added_and_changed_as_the_system_starts_are_started_without_a_race)
{
    // An application adds its printers on threads of its own while the main
    // loop starts: the start walks the printers and advertises them as the
    // new ones advertise themselves. Several adders keep the system's printer
    // list changing throughout the start.
    static const int kAdders = 4, kEach = 6;
    std::atomic<bool> go{false};
    std::vector<std::thread> adders;
    adders.reserve(kAdders);
    for (int a = 0; a < kAdders; a++)
        adders.emplace_back([&, a] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < kEach; i++) {
                const std::string name = "starting" + std::to_string(a * kEach + i);
                pappl_printer_t *printer = add_printer(name);
                if (printer != nullptr)
                    papplPrinterSetLocation(printer, ("Room of " + name).c_str());
            }
        });
    go = true;
    ASSERT_NO_FATAL_FAILURE(sys_.start());
    for (auto &adder : adders)
        adder.join();
    for (int i = 0; i < kAdders * kEach; i++) {
        const std::string name = "starting" + std::to_string(i);
        pappl_printer_t *printer = papplSystemFindPrinter(sys_.system(), ("/ipp/print/" + name).c_str(), 0, nullptr);
        ASSERT_NE(printer, nullptr) << name;
        char location[64];
        EXPECT_STREQ(papplPrinterGetLocation(printer, location, sizeof(location)), ("Room of " + name).c_str());
    }
}

TEST_F(PapplThreads, printers_changed_on_several_threads_at_once_are_advertised_without_a_race)
{
    // Each change of a printer's location advertises it again, and so sets
    // DNS-SD up, which fails every time where there is no D-Bus bus.
    static const int kChangers = 4, kChanges = 10;
    std::vector<pappl_printer_t *> printers;
    for (int c = 0; c < kChangers; c++) {
        printers.push_back(add_printer("changed" + std::to_string(c)));
        ASSERT_NE(printers.back(), nullptr);
    }
    ASSERT_NO_FATAL_FAILURE(sys_.start());
    std::vector<std::thread> changers;
    changers.reserve(kChangers);
    for (int c = 0; c < kChangers; c++)
        changers.emplace_back([&, c] {
            for (int i = 0; i < kChanges; i++)
                papplPrinterSetLocation(printers[static_cast<size_t>(c)], ("Room " + std::to_string(i)).c_str());
        });
    for (auto &changer : changers)
        changer.join();
    for (auto *printer : printers) {
        char location[64];
        EXPECT_STREQ(papplPrinterGetLocation(printer, location, sizeof(location)),
                     ("Room " + std::to_string(kChanges - 1)).c_str());
    }
}

TEST_F(PapplThreads, a_printer_changed_as_the_system_starts_is_advertised_without_a_race)
{
    // Whether a changed printer is advertised depends on whether the system
    // runs yet, which it learns while the main loop starts.
    pappl_printer_t *printer = add_printer("early");
    ASSERT_NE(printer, nullptr);
    std::atomic<bool> started{false};
    std::thread changer([&] {
        for (unsigned n = 0; !started; n++)
            papplPrinterSetLocation(printer, n % 2 != 0 ? "Second floor" : "Third floor");
        papplPrinterSetLocation(printer, "Ground floor");
    });
    ASSERT_NO_FATAL_FAILURE(sys_.start());
    started = true;
    changer.join();
    char location[64];
    EXPECT_STREQ(papplPrinterGetLocation(printer, location, sizeof(location)), "Ground floor");
}

TEST_F(PapplThreads, a_shutdown_asked_for_from_another_thread_is_seen_without_a_race)
{
    ASSERT_NO_FATAL_FAILURE(sys_.start());
    std::thread asker([this] { papplSystemShutdown(sys_.system()); });
    asker.join();
    EXPECT_TRUE(wait_for([this] { return sys_.stopped(); }, std::chrono::seconds(60)));
    EXPECT_TRUE(papplSystemIsShutdown(sys_.system()));
}

TEST_F(PapplThreads, a_system_deleted_as_soon_as_it_stops_has_no_job_thread_left_in_it)
{
    pappl_printer_t *printer = add_printer("last");
    ASSERT_NE(printer, nullptr);
    ASSERT_NO_FATAL_FAILURE(sys_.start());
    http_t *http = sys_.connect();
    ASSERT_NE(http, nullptr);
    // The job waits in its print callback while the shutdown is asked for;
    // once let go, the main loop returns and the system is deleted at once.
    g_gate.set(true);
    const int id = print(http, "last");
    httpClose(http);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(wait_for([] { return g_gate.how_many_wait() == 1; }));
    papplSystemShutdown(sys_.system());
    g_gate.set(false);
    ASSERT_TRUE(sys_.stop());
    EXPECT_EQ(papplJobGetState(papplPrinterFindJob(printer, id)), IPP_JSTATE_COMPLETED);
    sys_.shut_down();
}

// "L [YYYY-MM-DDThh:mm:ss.sssZ] ", as PAPPL starts each line of its log (L is
// the level's letter).
bool starts_as_a_log_line(const std::string &line)
{
    static const char kShape[] = "L [9999-99-99T";
    size_t i = 0;
    for (; kShape[i] != '\0'; i++) {
        if (i >= line.size())
            return false;
        const char c = line[i];
        const bool fits = kShape[i] == 'L'   ? strchr("DIWEF", c) != nullptr && c != '\0'
                          : kShape[i] == '9' ? isdigit(static_cast<unsigned char>(c)) != 0
                                             : c == kShape[i];
        if (!fits)
            return false;
    }
    const size_t time_start = i;
    while (i < line.size() && (isdigit(static_cast<unsigned char>(line[i])) != 0 || line[i] == ':' || line[i] == '.'))
        i++;
    return i > time_start && line.compare(i, 3, "Z] ") == 0;
}

TEST_F(PapplThreads, a_log_rotated_while_threads_write_to_it_has_only_whole_lines)
{
    papplSystemSetMaxLogSize(sys_.system(), 16384);
    std::vector<std::thread> writers;
    writers.reserve(4);
    for (int t = 0; t < 4; t++)
        writers.emplace_back([this, t] {
            for (int i = 0; i < 400; i++)
                papplLog(sys_.system(), PAPPL_LOGLEVEL_INFO, "writer %d line %d of a log that is rotated as it grows", t, i);
        });
    for (auto &w : writers)
        w.join();
    // Every line, in the file and in the one rotated away, is whole and
    // starts as PAPPL starts each line.
    ASSERT_TRUE(std::filesystem::exists(sys_.log() + ".O")) << "the log was never rotated";
    for (const std::string &path : {sys_.log() + ".O", sys_.log()}) {
        std::ifstream in(path);
        std::string line;
        size_t lines = 0;
        while (std::getline(in, line)) {
            lines++;
            EXPECT_TRUE(starts_as_a_log_line(line)) << path << ": " << line;
        }
        EXPECT_GT(lines, 0u) << path;
    }
}

} // namespace
