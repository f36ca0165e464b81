// What the PAPPL tests share: a system of their own on a free loopback
// port, the driver callbacks that do nothing, and a wait that polls for a
// state.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <pappl/pappl.h>

// A TCP port on 127.0.0.1 that was free a moment ago; 0 when none was found.
int free_port();

// Polls done() until it holds; false when it still did not after bound, which
// only guards against a hang.
bool wait_for(const std::function<bool()> &done, std::chrono::seconds bound = std::chrono::seconds(30));

// Sends request, which this deletes, with document as its data (none when
// empty); the answer, or nullptr when none came and cupsLastError() says why.
ipp_t *send_document(http_t *http, ipp_t *request, const char *resource, const std::string &document);

// The printer that the PAPPL tests' drivers describe: monochrome PostScript at
// 300 dpi, one-sided, A4 from one tray, with the given margins in hundredths
// of a millimetre. The callbacks and raster types are the caller's.
void describe_a4_postscript_printer(pappl_pr_driver_data_t *d, const char *make_and_model, int margin);

// Driver callbacks for the raster side of a driver whose test looks only at
// what it prints itself: each accepts and does nothing.
bool accept_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool accept_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned page);
bool accept_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned y,
                 const unsigned char *line);
// Gives the driver those three as its start and end of job and page and its
// line writer: PAPPL requires them of every driver.
void accept_raster(pappl_pr_driver_data_t *data);

// A PAPPL system of a test's own: its spool and log in a new folder under
// /tmp (named after the system), a listener on a free loopback port, the
// test's drivers, and papplSystemRun on a thread. The folder is removed when
// the test passed and kept, and named on stderr, when it failed.
class RunningSystem {
public:
    RunningSystem(const char *name, pappl_soptions_t options, pappl_pr_driver_t *drivers, int num_drivers,
                  pappl_pr_driver_cb_t driver_setup);
    ~RunningSystem();
    RunningSystem(const RunningSystem &) = delete;
    RunningSystem &operator=(const RunningSystem &) = delete;

    // Makes the folder and the system, not yet running; prepare_spool, when
    // given, is called with the spool folder before the system is made on
    // it. Fails the test fatally where any step does.
    void create(const std::function<void(const std::string &spool)> &prepare_spool = nullptr);
    // Runs the main loop on a thread and waits until it runs.
    void start(std::chrono::seconds bound = std::chrono::seconds(30));
    // Asks the main loop to stop and waits for it; false when it did not
    // within bound (its thread is then left, and the system not deleted).
    bool stop(std::chrono::seconds bound = std::chrono::seconds(120));
    // Stops the system and deletes it.
    void shut_down();

    bool stopped() const { return stopped_; }
    pappl_system_t *system() const { return system_; }
    int port() const { return port_; }
    const std::string &dir() const { return dir_; }
    std::string spool() const { return dir_ + "/spool"; }
    std::string log() const { return dir_ + "/log"; }
    http_t *connect() const;

private:
    std::string name_;
    pappl_soptions_t options_;
    pappl_pr_driver_t *drivers_;
    int num_drivers_;
    pappl_pr_driver_cb_t driver_setup_;
    std::string dir_;
    int port_ = 0;
    pappl_system_t *system_ = nullptr;
    std::thread runner_;
    std::atomic<bool> stopped_{false};
    bool abandoned_ = false;
};
