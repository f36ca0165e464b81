#include "common/cancel.h"

#include <cerrno>
#include <chrono>
#include <poll.h>

volatile sig_atomic_t job_canceled = 0;

void cancel_job(int /*sig*/)
{
    job_canceled = 1;
}

namespace {

using Clock = std::chrono::steady_clock;

// A SIGTERM that lands just before poll starts doesn't wake it; polling in
// short slices bounds how long such a cancel goes unnoticed.
const int kSliceMs = 100;

// Polls fd (or only waits, when fd < 0) until it is ready, the job is
// cancelled or seconds have passed. Returns the events seen, 0 for none, -1
// when poll fails.
int poll_slices(int fd, double seconds)
{
    const bool limited = seconds >= 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limited ? seconds : 0));
    while (job_canceled == 0) {
        int slice = kSliceMs;
        if (limited) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return 0;
            if (left < slice)
                slice = static_cast<int>(left);
        }
        pollfd p = {fd, POLLIN, 0};
        const int n = poll(&p, 1, slice);
        if (n > 0)
            return p.revents;
        if (n < 0 && errno != EINTR)
            return -1;
    }
    return 0;
}

} // namespace

bool wait_readable(int fd, double seconds)
{
    const int events = poll_slices(fd, seconds);
    return events > 0 && (events & POLLNVAL) == 0;
}

void pause_unless_canceled(double seconds)
{
    poll_slices(-1, seconds);
}
