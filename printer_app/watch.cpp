// The watch over a job's device writes.
#include "printer_app/watch.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>

JobLimits job_limits;

namespace {

thread_local DeviceWatch *current = nullptr;

// The connection of a socket:// device. PAPPL keeps it as the first member
// of the device's data and offers no accessor; the descriptor is used only
// when it is a TCP socket connected to the port that the URI names, so a
// different layout leaves the job unwatched rather than touching another
// descriptor.
int device_socket(pappl_device_t *device, const char *uri)
{
    if (uri == nullptr || strncmp(uri, "socket://", 9) != 0)
        return -1;
    const auto *data = static_cast<const int *>(papplDeviceGetData(device));
    if (data == nullptr)
        return -1;
    const int fd = *data;
    struct stat st{};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
        return -1;
    const char *colon = strrchr(uri + 9, ':');
    const long port = colon != nullptr ? strtol(colon + 1, nullptr, 10) : 9100;
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) != 0)
        return -1;
    const int got = peer.ss_family == AF_INET
                        ? ntohs(reinterpret_cast<sockaddr_in *>(&peer)->sin_port)
                    : peer.ss_family == AF_INET6
                        ? ntohs(reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_port)
                        : -1;
    return got == port ? fd : -1;
}

} // namespace

DeviceWatch::DeviceWatch(pappl_job_t *job, pappl_device_t *device) : job_(job)
{
    fd_ = device_socket(device, papplPrinterGetDeviceURI(papplJobGetPrinter(job)));
    if (fd_ >= 0)
        started_ = pthread_create(&thread_, nullptr, run, this) == 0;
    current = this;
}

DeviceWatch::~DeviceWatch()
{
    if (current == this)
        current = nullptr;
    if (!started_)
        return;
    pthread_mutex_lock(&lock_);
    stop_ = true;
    pthread_cond_signal(&wake_);
    pthread_mutex_unlock(&lock_);
    pthread_join(thread_, nullptr);
}

void DeviceWatch::writing(bool on)
{
    if (current != nullptr)
        current->writing_ = on;
}

void *DeviceWatch::run(void *self)
{
    auto *w = static_cast<DeviceWatch *>(self);
    pthread_mutex_lock(&w->lock_);
    while (!w->stop_) {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 200 * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000L;
        }
        pthread_cond_timedwait(&w->wake_, &w->lock_, &until);
        if (w->stop_ || !w->writing_ || !papplJobIsCanceled(w->job_))
            continue;
        // The blocked write fails, and every later one; PAPPL closes the
        // descriptor itself when the job lets go of the device.
        shutdown(w->fd_, SHUT_RDWR);
        break;
    }
    pthread_mutex_unlock(&w->lock_);
    return nullptr;
}
