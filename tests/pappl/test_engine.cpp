// PAPPL's job engine, driven the way a print client drives it: a system on a
// loopback port with a PostScript driver of our own that records what each
// job sends, and IPP requests from libcups.
#include <arpa/inet.h>
#include <fcntl.h>
#include <cups/cups.h>
#include <cups/raster.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pappl/pappl.h>

#include "tests/pappl/harness.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Guards against a hang only; every wait below polls for a state.
constexpr auto kHangBound = std::chrono::seconds(60);

// What the driver saw, shared by all printers of one test.
struct Record {
    std::mutex lock;
    std::vector<int> printed;     // job IDs in the order printing began
    std::map<int, int> times;     // job ID -> print callbacks run
    int busy = 0;                 // print callbacks running now
    int most_busy = 0;            // most print callbacks ever running at once
};

Record *g_record = nullptr;

// While closed, PostScript jobs wait in the print callback: the printer is
// busy for as long as a test needs.
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool closed = false;
    void set(bool close)
    {
        std::lock_guard<std::mutex> hold(lock);
        closed = close;
        changed.notify_all();
    }
    void pass()
    {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [this] { return !closed; });
    }
} g_gate;

bool print_file(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device)
{
    const int id = papplJobGetID(job);
    {
        std::lock_guard<std::mutex> hold(g_record->lock);
        g_record->printed.push_back(id);
        g_record->times[id]++;
        if (++g_record->busy > g_record->most_busy)
            g_record->most_busy = g_record->busy;
    }
    g_gate.pass();
    bool ok = true;
    const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ok = false;
    } else {
        char buf[8192];
        ssize_t n;
        while (ok && (n = read(fd, buf, sizeof(buf))) > 0)
            ok = papplDeviceWrite(device, buf, static_cast<size_t>(n)) == n;
        close(fd);
        papplDeviceFlush(device);
    }
    std::lock_guard<std::mutex> hold(g_record->lock);
    g_record->busy--;
    return ok;
}

// Raster goes to the device as one line of text per page, enough to tell
// which job's pages reached the device.
bool raster_end_page(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device, unsigned page)
{
    char line[64];
    snprintf(line, sizeof(line), "raster job %d page %u\n", papplJobGetID(job), page);
    return papplDeviceWrite(device, line, strlen(line)) == static_cast<ssize_t>(strlen(line));
}

pappl_pr_driver_t g_drivers[] = {{"engine_ps", "Engine Test PostScript", nullptr, nullptr}};

bool driver_setup(pappl_system_t *, const char *, const char *, const char *,
                  pappl_pr_driver_data_t *data, ipp_t **, void *)
{
    data->printfile_cb = print_file;
    accept_raster(data);
    data->rendpage_cb = raster_end_page;
    describe_a4_postscript_printer(data, "Engine Test PostScript", 423);
    data->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    return true;
}


// Stands in for a printer's AppSocket port: keeps what each connection sent.
// The first `jammed` connections are taken and never read, as a printer that
// stopped taking data.
class SocketDevice {
public:
    explicit SocketDevice(int jammed = 0) : jammed_(jammed)
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
            listen(listener_, 16) == 0 && getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
            port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~SocketDevice()
    {
        stop_ = true;
        thread_.join();
        if (listener_ >= 0)
            close(listener_);
    }
    std::string uri() const { return "socket://127.0.0.1:" + std::to_string(port_); }
    // Connections closed by the sender so far, each as received.
    std::vector<std::string> connections()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return done_;
    }
    // Bytes waiting on the jammed connections.
    int unread_bytes()
    {
        std::lock_guard<std::mutex> hold(lock_);
        int total = 0;
        for (int c : unread_) {
            int n = 0;
            if (ioctl(c, FIONREAD, &n) == 0)
                total += n;
        }
        return total;
    }

private:
    void serve()
    {
        std::vector<std::pair<int, std::string>> open;
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            fds.reserve(open.size() + 1);
            std::transform(open.begin(), open.end(), std::back_inserter(fds),
                           [](const std::pair<int, std::string> &c) { return pollfd{c.first, POLLIN, 0}; });
            if (poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            for (size_t i = 1; i < fds.size(); i++) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                    continue;
                char buf[8192];
                const ssize_t n = read(fds[i].fd, buf, sizeof(buf));
                if (n > 0) {
                    open[i - 1].second.append(buf, static_cast<size_t>(n));
                } else {
                    close(fds[i].fd);
                    std::lock_guard<std::mutex> hold(lock_);
                    done_.push_back(open[i - 1].second);
                    open[i - 1].first = -1;
                }
            }
            for (auto it = open.begin(); it != open.end();)
                it = it->first < 0 ? open.erase(it) : it + 1;
            if ((fds[0].revents & POLLIN) != 0) {
                const int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0 && jammed_ > 0) {
                    jammed_--;
                    std::lock_guard<std::mutex> hold(lock_);
                    unread_.push_back(c);
                } else if (c >= 0) {
                    open.emplace_back(c, std::string());
                }
            }
        }
        for (const auto &c : open)
            close(c.first);
        std::lock_guard<std::mutex> hold(lock_);
        for (int c : unread_)
            close(c);
    }

    int jammed_ = 0;
    std::vector<int> unread_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> done_;
    std::thread thread_;
};

// A PAPPL system on a loopback port, run on a thread of its own.
class Engine : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_record = &record_;
        // A test that fills the spool gives it a small file system of its own.
        ASSERT_NO_FATAL_FAILURE(sys_.create([this](const std::string &spool) {
            if (full_spool_) {
                ASSERT_EQ(mount("tmpfs", spool.c_str(), "tmpfs", 0, "size=1m"), 0) << strerror(errno);
            }
        }));
    }

    void TearDown() override
    {
        sys_.shut_down();
        g_record = nullptr;
        if (full_spool_)
            umount2(sys_.spool().c_str(), MNT_DETACH);
    }

    pappl_printer_t *add_printer(const char *name, const std::string &device_uri)
    {
        return papplPrinterCreate(sys_.system(), 0, name, "engine_ps", "MFG:Engine;MDL:Test;CMD:POSTSCRIPT;",
                                  device_uri.c_str());
    }

    void run() { ASSERT_NO_FATAL_FAILURE(sys_.start(kHangBound)); }

    std::string printer_uri(const char *name) const
    {
        return "ipp://127.0.0.1:" + std::to_string(sys_.port()) + "/ipp/print/" + name;
    }

    // Print-Job with the document's bytes; the job's ID, or 0 with the
    // server's status in *status.
    int print(http_t *http, const char *printer, const std::string &document, const char *format,
              ipp_status_t *status = nullptr, const char *hold_until = nullptr, time_t hold_until_time = 0,
              const char *job_name = nullptr)
    {
        ipp_t *request = ippNewRequest(IPP_OP_PRINT_JOB);
        const std::string uri = printer_uri(printer);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "engine");
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
        if (hold_until != nullptr)
            ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr, hold_until);
        if (job_name != nullptr)
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, job_name);
        if (hold_until_time != 0)
            ippAddDate(request, IPP_TAG_JOB, "job-hold-until-time", ippTimeToDate(hold_until_time));
        const std::string resource = "/ipp/print/" + std::string(printer);
        ipp_t *response = send_document(http, request, resource.c_str(), document);
        const ipp_status_t got = response != nullptr ? ippGetStatusCode(response) : cupsLastError();
        if (status != nullptr)
            *status = got;
        const int id = got < IPP_STATUS_REDIRECTION_OTHER_SITE ? ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0) : 0;
        ippDelete(response);
        return id;
    }

    ipp_t *job_attributes(http_t *http, const char *printer, int job_id)
    {
        ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
        const std::string uri = printer_uri(printer);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "engine");
        return cupsDoRequest(http, request, ("/ipp/print/" + std::string(printer)).c_str());
    }

    ipp_jstate_t job_state(http_t *http, const char *printer, int job_id)
    {
        ipp_t *response = job_attributes(http, printer, job_id);
        const auto state = static_cast<ipp_jstate_t>(ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0));
        ippDelete(response);
        return state;
    }

    // Polls until every job has ended; false if one is still going at the
    // hang bound.
    bool wait_ended(const char *printer, const std::vector<int> &ids)
    {
        http_t *http = sys_.connect();
        const auto until = Clock::now() + kHangBound;
        bool ended = false;
        while (http != nullptr && !ended && Clock::now() < until) {
            ended = true;
            for (int id : ids)
                ended = ended && job_state(http, printer, id) >= IPP_JSTATE_CANCELED;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        httpClose(http);
        return ended;
    }

    Record record_;
    bool full_spool_ = false;
    RunningSystem sys_{"Engine Test", PAPPL_SOPTIONS_MULTI_QUEUE, g_drivers, 1, driver_setup};
};

ssize_t append_raster(void *ctx, unsigned char *buffer, size_t bytes)
{
    static_cast<std::string *>(ctx)->append(reinterpret_cast<char *>(buffer), bytes);
    return static_cast<ssize_t>(bytes);
}

// A blank A4 page of 8-bit grey at 300 dpi, as PWG or Apple raster.
std::string raster_page(cups_mode_t mode)
{
    std::string out;
    cups_raster_t *ras = cupsRasterOpenIO(append_raster, &out, mode);
    cups_page_header2_t header;
    cupsRasterInitPWGHeader(&header, pwgMediaForPWG("iso_a4_210x297mm"), "sgray_8", 300, 300, "one-sided", nullptr);
    std::vector<unsigned char> line(header.cupsBytesPerLine, 255);
    bool ok = ras != nullptr && cupsRasterWriteHeader2(ras, &header) != 0;
    for (unsigned y = 0; ok && y < header.cupsHeight; y++)
        ok = cupsRasterWritePixels(ras, line.data(), header.cupsBytesPerLine) == header.cupsBytesPerLine;
    cupsRasterClose(ras);
    return ok ? out : std::string();
}

std::string postscript(int n)
{
    return "%!PS\n% document " + std::to_string(n) + "\nshowpage\n";
}

TEST_F(Engine, PendingJobsPrintOldestFirst)
{
    SocketDevice device;
    pappl_printer_t *printer = add_printer("order", device.uri());
    ASSERT_NE(printer, nullptr);
    ASSERT_NO_FATAL_FAILURE(run());

    // Queued while the printer is stopped, so that all wait together.
    papplPrinterPause(printer);
    http_t *http = sys_.connect();
    ASSERT_NE(http, nullptr);
    std::vector<int> ids;
    ids.reserve(4);
    for (int i = 0; i < 4; i++)
        ids.push_back(print(http, "order", postscript(i), "application/postscript"));
    httpClose(http);
    ASSERT_TRUE(std::all_of(ids.begin(), ids.end(), [](int id) { return id > 0; })) << "a job was refused";
    papplPrinterResume(printer);

    ASSERT_TRUE(wait_ended("order", ids));
    std::lock_guard<std::mutex> hold(record_.lock);
    EXPECT_EQ(record_.printed, ids);
}

TEST_F(Engine, EachJobToANetworkPrinterHasAConnectionOfItsOwn)
{
    SocketDevice device;
    pappl_printer_t *printer = add_printer("socket", device.uri());
    ASSERT_NE(printer, nullptr);
    ASSERT_NO_FATAL_FAILURE(run());

    // Queued together, so that each job ends with the next one waiting.
    papplPrinterPause(printer);
    http_t *http = sys_.connect();
    ASSERT_NE(http, nullptr);
    std::vector<int> ids;
    std::vector<std::string> documents;
    size_t total = 0;
    for (int i = 0; i < 3; i++) {
        documents.push_back(postscript(i));
        total += documents.back().size();
        ids.push_back(print(http, "socket", documents.back(), "application/postscript"));
        ASSERT_GT(ids.back(), 0);
    }
    httpClose(http);
    papplPrinterResume(printer);
    ASSERT_TRUE(wait_ended("socket", ids));

    // Every byte is in once the last connection has closed.
    const auto until = Clock::now() + kHangBound;
    std::vector<std::string> received;
    for (;;) {
        received = device.connections();
        const size_t got = std::accumulate(received.begin(), received.end(), size_t{0},
                                           [](size_t sum, const std::string &c) { return sum + c.size(); });
        if (got >= total || Clock::now() > until)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(received, documents);
}

TEST_F(Engine, AJobStartedAsTheOneBeforeItEndsKeepsItsDevice)
{
    // A folder as the device: each job's output goes to a file named after
    // the job.
    const std::string out = sys_.dir() + "/out";
    ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
    pappl_printer_t *printer = add_printer("folder", "file://" + out);
    ASSERT_NE(printer, nullptr);
    ASSERT_NO_FATAL_FAILURE(run());

    http_t *http = sys_.connect();
    ASSERT_NE(http, nullptr);
    const int first = print(http, "folder", postscript(0), "application/postscript", nullptr, nullptr, 0, "job-first");
    ASSERT_GT(first, 0);
    ASSERT_TRUE(wait_ended("folder", {first}));
    pappl_job_t *ended = papplPrinterFindJob(printer, first);
    ASSERT_NE(ended, nullptr);

    // Threads that keep asking the printer for work (a release of a job that
    // is not held does just that) start each queued job the moment the one
    // before it lets go of the printer.
    std::atomic<bool> stop{false};
    std::vector<std::thread> askers;
    askers.reserve(3);
    for (int t = 0; t < 3; t++)
        askers.emplace_back([&] {
            while (!stop)
                papplJobRelease(ended, nullptr);
        });
    std::map<int, std::string> sent;
    std::mutex sent_lock;
    std::vector<std::thread> clients;
    clients.reserve(2);
    for (int c = 0; c < 2; c++)
        clients.emplace_back([&, c] {
            http_t *mine = sys_.connect();
            for (int i = 0; i < 60 && mine != nullptr; i++) {
                const std::string document = postscript(c * 1000 + i);
                const std::string name = "job-" + std::to_string(c) + "-" + std::to_string(i);
                const int id = print(mine, "folder", document, "application/postscript", nullptr, nullptr, 0, name.c_str());
                std::string record = name;
                record += '\n';
                record += document;
                std::lock_guard<std::mutex> hold(sent_lock);
                sent[id] = std::move(record);
            }
            httpClose(mine);
        });
    for (auto &c : clients)
        c.join();
    std::vector<int> ids;
    ids.reserve(sent.size());
    std::transform(sent.begin(), sent.end(), std::back_inserter(ids),
                   [](const std::pair<const int, std::string> &job) { return job.first; });
    const bool ended_all = wait_ended("folder", ids);
    stop = true;
    for (auto &t : askers)
        t.join();
    ASSERT_TRUE(ended_all);
    ASSERT_EQ(sent.count(0), 0u) << "a job was refused";

    int lost = 0;
    for (const auto &job : sent) {
        const std::string name = job.second.substr(0, job.second.find('\n'));
        std::string file = out;
        file += '/';
        file += name;
        file += ".prn";
        FILE *fp = fopen(file.c_str(), "rb");
        std::string got;
        char buf[4096];
        size_t n;
        while (fp != nullptr && (n = fread(buf, 1, sizeof(buf), fp)) > 0)
            got.append(buf, n);
        if (fp != nullptr)
            fclose(fp);
        if (got != job.second.substr(name.size() + 1)) {
            lost++;
            ADD_FAILURE() << "job " << job.first << " (" << name << ") ended "
                          << job_state(http, "folder", job.first) << " with " << got.size() << " bytes in its file";
        }
    }
    httpClose(http);
    EXPECT_EQ(lost, 0);
}

TEST_F(Engine, AHeldJobSaysWhyItIsHeld)
{
    pappl_printer_t *printer = add_printer("held", "file:///dev/null");
    ASSERT_NE(printer, nullptr);
    ASSERT_NO_FATAL_FAILURE(run());

    http_t *http = sys_.connect();
    ASSERT_NE(http, nullptr);
    const int id = print(http, "held", postscript(0), "application/postscript", nullptr, "indefinite");
    ASSERT_GT(id, 0);
    ipp_t *response = job_attributes(http, "held", id);
    EXPECT_EQ(ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0), IPP_JSTATE_HELD);
    ipp_attribute_t *reasons = ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD);
    ASSERT_NE(reasons, nullptr);
    EXPECT_TRUE(ippContainsString(reasons, "job-hold-until-specified"));
    ippDelete(response);

    // A held job would keep the system from shutting down.
    ipp_t *cancel = ippNewRequest(IPP_OP_CANCEL_JOB);
    const std::string uri = printer_uri("held");
    ippAddString(cancel, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddInteger(cancel, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    ippAddString(cancel, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "engine");
    ippDelete(cupsDoRequest(http, cancel, "/ipp/print/held"));
    EXPECT_EQ(cupsLastError(), IPP_STATUS_OK);
    httpClose(http);
}

TEST_F(Engine, AJobHeldUntilATimePrintsAtThatTimeAndNotBefore)
{
    pappl_printer_t *printer = add_printer("later", "file:///dev/null");
    ASSERT_NE(printer, nullptr);
    ASSERT_NO_FATAL_FAILURE(run());

    http_t *http = sys_.connect();
    ASSERT_NE(http, nullptr);
    const time_t due = time(nullptr) + 3;
    const int held = print(http, "later", postscript(0), "application/postscript", nullptr, nullptr, due);
    ASSERT_GT(held, 0);
    // Another job makes the printer look through its queue before the time.
    const int other = print(http, "later", postscript(1), "application/postscript");
    ASSERT_GT(other, 0);
    ASSERT_TRUE(wait_ended("later", {other}));
    if (time(nullptr) < due) {
        EXPECT_EQ(job_state(http, "later", held), IPP_JSTATE_HELD);
    }

    ASSERT_TRUE(wait_ended("later", {held}));
    EXPECT_EQ(job_state(http, "later", held), IPP_JSTATE_COMPLETED);
    ipp_t *response = job_attributes(http, "later", held);
    EXPECT_GE(ippGetInteger(ippFindAttribute(response, "time-at-processing", IPP_TAG_INTEGER), 0),
              ippGetInteger(ippFindAttribute(response, "time-at-creation", IPP_TAG_INTEGER), 0) + 3 - 1);
    ippDelete(response);
    httpClose(http);
}

class EngineFullSpool : public Engine {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "the spool's tmpfs needs root";
        full_spool_ = true;
        Engine::SetUp();
    }
};

TEST_F(EngineFullSpool, UploadsRefusedForWantOfSpaceDoNotDeadlockAStateSave)
{
    // Earlier printers with some history give each save more to write
    // before it reaches the printer whose uploads are being refused.
    const char *names[] = {"first", "second", "third", "full"};
    for (const char *name : names)
        ASSERT_NE(add_printer(name, "file:///dev/null"), nullptr);
    ASSERT_NO_FATAL_FAILURE(run());
    {
        http_t *http = sys_.connect();
        ASSERT_NE(http, nullptr);
        std::vector<int> ids;
        for (int i = 0; i < 20; i++)
            for (int p = 0; p < 3; p++)
                ids.push_back(print(http, names[p], postscript(i), "application/postscript"));
        httpClose(http);
        ASSERT_TRUE(std::all_of(ids.begin(), ids.end(), [](int id) { return id > 0; })) << "a job was refused";
        for (int p = 0; p < 3; p++)
            ASSERT_TRUE(wait_ended(names[p], {ids.back()}));
    }

    std::atomic<bool> stop{false};
    std::atomic<long> saves{0}, refusals{0};
    const std::string state = sys_.dir() + "/state";
    std::thread saver([&] {
        while (!stop) {
            papplSystemSaveState(sys_.system(), state.c_str());
            saves++;
        }
    });
    std::vector<std::thread> clients;
    // Larger than the whole spool, however many small jobs wait in it.
    const std::string big(size_t{1536} * 1024, '%');
    clients.reserve(4);
    for (int c = 0; c < 4; c++)
        clients.emplace_back([&] {
            http_t *http = sys_.connect();
            for (int i = 0; i < 50 && http != nullptr && !stop; i++) {
                ipp_status_t status;
                if (print(http, "full", big, "application/postscript", &status) == 0)
                    refusals++;
            }
            httpClose(http);
        });

    // A deadlock leaves the saver and the clients waiting for ever: then the
    // counts stop moving, and this process cannot clean up; it reports and
    // exits.
    auto moved = Clock::now();
    long last = -1;
    bool stuck = false;
    std::atomic<int> done{0};
    std::thread joiner([&] {
        for (auto &c : clients)
            c.join();
        done = 1;
    });
    while (done == 0 && !stuck) {
        const long now = saves + refusals;
        if (now != last) {
            last = now;
            moved = Clock::now();
        }
        stuck = Clock::now() - moved > std::chrono::seconds(20);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (stuck) {
        ADD_FAILURE() << "nothing moved for 20 s after " << saves << " saves and " << refusals
                      << " refused uploads: deadlocked";
        fprintf(stderr, "kept the spool and log in %s\n", sys_.dir().c_str());
        fflush(nullptr);
        _exit(1);
    }
    stop = true;
    joiner.join();
    saver.join();
    EXPECT_EQ(refusals, 200);
    EXPECT_GT(saves, 0);
}

TEST_F(Engine, RasterSentWhileThePrinterPrintsIsQueuedAndPrinted)
{
    SocketDevice device;
    pappl_printer_t *printer = add_printer("raster", device.uri());
    ASSERT_NE(printer, nullptr);
    ASSERT_NO_FATAL_FAILURE(run());

    static const struct {
        const char *format;
        cups_mode_t mode;
    } kRasters[] = {
        {"image/pwg-raster", CUPS_RASTER_WRITE_PWG},
        {"image/urf", CUPS_RASTER_WRITE_APPLE},
    };
    for (const auto &raster : kRasters) {
        SCOPED_TRACE(raster.format);
        const std::string page = raster_page(raster.mode);
        ASSERT_FALSE(page.empty());

        // A PostScript job holds the printer while the raster arrives.
        g_gate.set(true);
        http_t *http = sys_.connect();
        ASSERT_NE(http, nullptr);
        const int busy = print(http, "raster", postscript(0), "application/postscript");
        ASSERT_GT(busy, 0);
        const auto until = Clock::now() + kHangBound;
        for (;;) {
            std::lock_guard<std::mutex> hold(record_.lock);
            if (record_.busy == 1 || Clock::now() > until)
                break;
        }
        ipp_status_t status = IPP_STATUS_ERROR_INTERNAL;
        const int id = print(http, "raster", page, raster.format, &status);
        g_gate.set(false);
        EXPECT_EQ(status, IPP_STATUS_OK) << ippErrorString(status);
        ASSERT_GT(id, 0);
        ASSERT_TRUE(wait_ended("raster", {busy, id}));
        EXPECT_EQ(job_state(http, "raster", id), IPP_JSTATE_COMPLETED);
        httpClose(http);

        const std::string mark = "raster job " + std::to_string(id) + " page 1\n";
        const auto until_in = Clock::now() + kHangBound;
        bool printed = false;
        while (!printed && Clock::now() < until_in) {
            for (const auto &c : device.connections())
                printed = printed || c == mark;
            if (!printed)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(printed) << "the raster job's page did not reach the device";
    }
}

TEST_F(Engine, APendingJobIsStartedOnceHoweverManyThreadsLookForWork)
{
    pappl_printer_t *printer = add_printer("once", "file:///dev/null");
    ASSERT_NE(printer, nullptr);
    ASSERT_NO_FATAL_FAILURE(run());

    // Each round queues a job on a stopped printer, then resumes it from
    // several threads at once: each resume looks for a job to start.
    constexpr int kRounds = 40, kThreads = 6;
    http_t *http = sys_.connect();
    ASSERT_NE(http, nullptr);
    std::vector<int> ids;
    for (int round = 0; round < kRounds; round++) {
        papplPrinterPause(printer);
        const int id = print(http, "once", postscript(round), "application/postscript");
        ASSERT_GT(id, 0);
        ids.push_back(id);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        threads.reserve(kThreads);
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back([&] {
                ready++;
                while (ready < kThreads)
                    ;
                papplPrinterResume(printer);
            });
        for (auto &t : threads)
            t.join();
        ASSERT_TRUE(wait_ended("once", {id}));
    }
    httpClose(http);

    std::lock_guard<std::mutex> hold(record_.lock);
    EXPECT_EQ(record_.most_busy, 1) << "two print callbacks ran at once on one printer";
    for (int id : ids)
        EXPECT_EQ(record_.times[id], 1) << "job " << id;
}

TEST_F(Engine, ACancelEndsAJobWhosePrinterTakesNoDataAtOnce)
{
    // The device's own bound on a write the printer does not take, far
    // beyond the wait allowed for the cancel below.
    papplDeviceSetWriteTimeout(30000);
    struct Restore {
        ~Restore() { papplDeviceSetWriteTimeout(300000); }
    } restore;
    ASSERT_NO_FATAL_FAILURE(run());

    // The printer's own cancel and the one for all of its jobs, each on a
    // printer whose first connection is never read.
    static const struct {
        const char *printer;
        ipp_op_t op;
    } kCancels[] = {
        {"jammed-job", IPP_OP_CANCEL_JOB},
        {"jammed-all", IPP_OP_CANCEL_JOBS},
    };
    for (const auto &cancel : kCancels) {
        SCOPED_TRACE(ippOpString(cancel.op));
        SocketDevice device(1);
        ASSERT_NE(add_printer(cancel.printer, device.uri()), nullptr);
        http_t *http = sys_.connect();
        ASSERT_NE(http, nullptr);

        // More than the socket buffers of both ends hold.
        const int stuck = print(http, cancel.printer, std::string(32 << 20, '%'), "application/postscript");
        ASSERT_GT(stuck, 0);
        // Stuck: the bytes waiting at the printer stop growing.
        int queued = -1;
        ASSERT_TRUE(wait_for([&] {
            const int now = device.unread_bytes();
            const bool still = now > 0 && now == queued;
            queued = now;
            if (!still)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return still;
        }));
        ASSERT_EQ(job_state(http, cancel.printer, stuck), IPP_JSTATE_PROCESSING);

        ipp_t *request = ippNewRequest(cancel.op);
        const std::string uri = printer_uri(cancel.printer);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
        if (cancel.op == IPP_OP_CANCEL_JOB)
            ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", stuck);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "engine");
        ippDelete(cupsDoRequest(http, request, ("/ipp/print/" + std::string(cancel.printer)).c_str()));
        ASSERT_EQ(cupsLastError(), IPP_STATUS_OK) << cupsLastErrorString();

        // A write that gives up within a slice ends the job at once; the
        // bound only guards against waiting out the device's write timeout.
        ipp_jstate_t state = IPP_JSTATE_PROCESSING;
        EXPECT_TRUE(wait_for([&] { return (state = job_state(http, cancel.printer, stuck)) >= IPP_JSTATE_CANCELED; },
                             std::chrono::seconds(10)))
            << "the job is still " << ippEnumString("job-state", state);
        EXPECT_EQ(state, IPP_JSTATE_CANCELED) << ippEnumString("job-state", state);

        // The printer goes on, the next job whole on a connection of its own.
        const std::string next = postscript(1);
        const int after = print(http, cancel.printer, next, "application/postscript");
        ASSERT_GT(after, 0);
        EXPECT_TRUE(wait_ended(cancel.printer, {stuck, after}));
        EXPECT_EQ(job_state(http, cancel.printer, after), IPP_JSTATE_COMPLETED);
        EXPECT_TRUE(wait_for([&] { return !device.connections().empty(); }));
        EXPECT_EQ(device.connections(), std::vector<std::string>{next});
        httpClose(http);
    }
}

}  // namespace
