// Limits on a job's time at the device and in conversion, so that a printer
// that stops reading or a document that never finishes converting cannot hold
// a queue for ever, and a cancelled job lets go of its printer at once.
#pragma once

#include <atomic>
#include <pthread.h>

#include <pappl/pappl.h>

struct JobLimits {
    int device_seconds = 300;     // one write may block this long
    int conversion_seconds = 900; // a PDF's whole conversion
};
// Set once from the server's options before any job runs.
extern JobLimits job_limits;

// Watches the writes of one job to a network device from a thread of its
// own: a write that blocks past the limit, or any write when the job is
// cancelled, is ended by shutting the connection down, which PAPPL's own
// write loop would otherwise retry for ever. Lives on the job's thread, as
// long as the job holds the device; jobs_write reports to it.
class DeviceWatch {
public:
    DeviceWatch(pappl_job_t *job, pappl_device_t *device);
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch &) = delete;
    DeviceWatch &operator=(const DeviceWatch &) = delete;

    // True when the watch of this thread's job ended a write because the
    // device stalled.
    static bool current_stalled();

    // Brackets a write on this thread to the watched device.
    static void writing(bool on);

private:
    static void *run(void *self);

    pappl_job_t *job_;
    int fd_ = -1;
    bool started_ = false;
    pthread_t thread_{};
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake_ = PTHREAD_COND_INITIALIZER;
    bool stop_ = false;
    std::atomic<long> writing_since_{0};
    std::atomic<bool> stalled_{false};
};
