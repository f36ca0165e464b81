#include "tests/pappl/harness.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

bool wait_for(const std::function<bool()> &done, std::chrono::seconds bound)
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

ipp_t *send_document(http_t *http, ipp_t *request, const char *resource, const std::string &document)
{
    ipp_t *response = nullptr;
    if (cupsSendRequest(http, request, resource, CUPS_LENGTH_VARIABLE) == HTTP_STATUS_CONTINUE &&
        (document.empty() ||
         cupsWriteRequestData(http, document.data(), document.size()) == HTTP_STATUS_CONTINUE))
        response = cupsGetResponse(http, resource);
    ippDelete(request);
    return response;
}

void describe_a4_postscript_printer(pappl_pr_driver_data_t *d, const char *make_and_model, int margin)
{
    d->format = "application/postscript";
    snprintf(d->make_and_model, sizeof(d->make_and_model), "%s", make_and_model);
    d->ppm = 10;
    d->kind = PAPPL_KIND_DOCUMENT;
    d->color_supported = PAPPL_COLOR_MODE_MONOCHROME;
    d->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    d->num_resolution = 1;
    d->x_resolution[0] = d->y_resolution[0] = 300;
    d->x_default = d->y_default = 300;
    d->sides_supported = PAPPL_SIDES_ONE_SIDED;
    d->sides_default = PAPPL_SIDES_ONE_SIDED;
    d->left_right = d->bottom_top = margin;
    d->num_media = 1;
    d->media[0] = "iso_a4_210x297mm";
    d->num_source = 1;
    d->source[0] = "main";
    d->num_type = 1;
    d->type[0] = "stationery";
    pappl_media_col_t &m = d->media_default;
    snprintf(m.size_name, sizeof(m.size_name), "iso_a4_210x297mm");
    m.size_width = 21000;
    m.size_length = 29700;
    m.left_margin = m.right_margin = m.top_margin = m.bottom_margin = margin;
    snprintf(m.source, sizeof(m.source), "main");
    snprintf(m.type, sizeof(m.type), "stationery");
    d->media_ready[0] = m;
}

bool accept_job(pappl_job_t *, pappl_pr_options_t *, pappl_device_t *) { return true; }
bool accept_page(pappl_job_t *, pappl_pr_options_t *, pappl_device_t *, unsigned) { return true; }
bool accept_line(pappl_job_t *, pappl_pr_options_t *, pappl_device_t *, unsigned, const unsigned char *)
{
    return true;
}

void accept_raster(pappl_pr_driver_data_t *data)
{
    data->rstartjob_cb = accept_job;
    data->rendjob_cb = accept_job;
    data->rstartpage_cb = accept_page;
    data->rendpage_cb = accept_page;
    data->rwriteline_cb = accept_line;
}

RunningSystem::RunningSystem(const char *name, pappl_soptions_t options, pappl_pr_driver_t *drivers,
                             int num_drivers, pappl_pr_driver_cb_t driver_setup)
    : name_(name), options_(options), drivers_(drivers), num_drivers_(num_drivers), driver_setup_(driver_setup)
{
}

RunningSystem::~RunningSystem()
{
    shut_down();
    if (dir_.empty())
        return;
    std::error_code ignored;
    if (!::testing::Test::HasFailure())
        std::filesystem::remove_all(dir_, ignored);
    else
        fprintf(stderr, "kept the spool and log in %s\n", dir_.c_str());
}

void RunningSystem::create(const std::function<void(const std::string &spool)> &prepare_spool)
{
    // "Engine Test" keeps its files in /tmp/engine-test.XXXXXX.
    std::string folder = "/tmp/";
    for (const char c : name_)
        folder += c == ' ' ? '-' : static_cast<char>(tolower(static_cast<unsigned char>(c)));
    folder += ".XXXXXX";
    ASSERT_NE(mkdtemp(&folder[0]), nullptr);
    dir_ = folder;
    port_ = free_port();
    ASSERT_GT(port_, 0);
    ASSERT_EQ(mkdir(spool().c_str(), 0700), 0);
    if (prepare_spool) {
        ASSERT_NO_FATAL_FAILURE(prepare_spool(spool()));
    }
    system_ = papplSystemCreate(options_, name_.c_str(), port_, nullptr, spool().c_str(), log().c_str(),
                                PAPPL_LOGLEVEL_DEBUG, nullptr, false);
    ASSERT_NE(system_, nullptr);
    ASSERT_TRUE(papplSystemAddListeners(system_, "127.0.0.1"));
    papplSystemSetPrinterDrivers(system_, num_drivers_, drivers_, nullptr, nullptr, driver_setup_, nullptr);
}

void RunningSystem::start(std::chrono::seconds bound)
{
    ASSERT_NE(system_, nullptr);
    // The main loop sees a shutdown request when its poll() returns; a timer
    // each second bounds that wait without a client of ours.
    papplSystemAddTimerCallback(system_, 0, 1, [](pappl_system_t *, void *) { return true; }, nullptr);
    stopped_ = false;
    runner_ = std::thread([this] {
        papplSystemRun(system_);
        stopped_ = true;
    });
    ASSERT_TRUE(wait_for([this] { return papplSystemIsRunning(system_); }, bound));
}

bool RunningSystem::stop(std::chrono::seconds bound)
{
    if (!runner_.joinable())
        return !abandoned_;
    papplSystemShutdown(system_);
    if (!wait_for([this] { return stopped_.load(); }, bound)) {
        runner_.detach();
        abandoned_ = true;
        return false;
    }
    runner_.join();
    return true;
}

void RunningSystem::shut_down()
{
    // A main loop that never returned may still use the system: it is left
    // to the end of the process rather than freed under it.
    if (stop() && system_ != nullptr)
        papplSystemDelete(system_);
    system_ = nullptr;
}

http_t *RunningSystem::connect() const
{
    return httpConnect2("127.0.0.1", port_, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
}
