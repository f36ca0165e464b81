// Limits on a job's time at the device and in conversion, and a cancel that
// reaches a write the printer does not take.
#pragma once

#include <atomic>
#include <pthread.h>

#include <pappl/pappl.h>

struct JobLimits {
    int device_seconds = 300;     // a printer may take no data this long
    int conversion_seconds = 900; // a PDF's whole conversion
};
// Set once from the server's options before any job runs.
extern JobLimits job_limits;

// PAPPL ends a write that a network printer does not take only after
// device_seconds, whatever happens to the job meanwhile. While a job's write
// blocks, this watch looks for a cancel from a thread of its own and ends
// the write by shutting the connection down, so that a cancelled job lets go
// of its printer at once. Lives on the job's thread while the job writes to
// its device; jobs_write reports to it.
class DeviceWatch {
public:
    DeviceWatch(pappl_job_t *job, pappl_device_t *device);
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch &) = delete;
    DeviceWatch &operator=(const DeviceWatch &) = delete;

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
    std::atomic<bool> writing_{false};
};
