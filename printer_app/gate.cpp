// The admission decision for each job, on what the app finds out itself: the
// system's banner, the device ID that the device reports now, and the
// printer's driver.
#include "printer_app/gate.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "checks/admission.h"
#include "printer_app/status.h"

namespace {

struct JobFacts {
    pappl_job_t *job;
    pappl_device_t *device;
    char banner[1024 + 1];
    char device_id[1024];
    long id_ms = -1;       // how long the device ID query took; -1: not asked
    bool id_answered = false;
};

// QUOVEL_ISSUE names another banner file, for a confined app that sees the
// host's /etc/issue elsewhere.
const char *banner_path()
{
    const char *path = getenv("QUOVEL_ISSUE");
    return path != nullptr && path[0] != '\0' ? path : "/etc/issue";
}

// Read in the job's own thread: a fork from a threaded server would copy
// every other thread's locks into the child.
const char *banner_of(void *ctx)
{
    JobFacts *facts = static_cast<JobFacts *>(ctx);
    memset(facts->banner, 0, sizeof(facts->banner));
    // Non-blocking, so that a FIFO in the banner's place cannot hold the job.
    const int fd = open(banner_path(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        papplLogJob(facts->job, PAPPL_LOGLEVEL_WARN, "Unable to read the system banner %s: %s",
                    banner_path(), strerror(errno));
        return facts->banner;
    }
    size_t got = 0;
    while (got < sizeof(facts->banner) - 1) {
        const ssize_t n = read(fd, facts->banner + got, sizeof(facts->banner) - 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    papplLogJob(facts->job, PAPPL_LOGLEVEL_DEBUG, "System banner: %s", facts->banner);
    return facts->banner;
}

const char *device_id_of(void *ctx)
{
    JobFacts *facts = static_cast<JobFacts *>(ctx);
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const bool got =
        papplDeviceGetID(facts->device, facts->device_id, sizeof(facts->device_id)) != nullptr &&
        facts->device_id[0] != '\0';
    clock_gettime(CLOCK_MONOTONIC, &end);
    const long ms = (end.tv_sec - start.tv_sec) * 1000L + (end.tv_nsec - start.tv_nsec) / 1000000L;
    papplLogJob(facts->job, PAPPL_LOGLEVEL_INFO, "Device ID query took %ld ms.", ms);
    facts->id_ms = ms;
    facts->id_answered = got;
    if (!got)
        return nullptr;
    papplLogJob(facts->job, PAPPL_LOGLEVEL_INFO, "The device reports '%s'.", facts->device_id);
    return facts->device_id;
}

const char *driver_of(void *ctx)
{
    const JobFacts *facts = static_cast<const JobFacts *>(ctx);
    papplLogJob(facts->job, PAPPL_LOGLEVEL_INFO,
                "The device reported no device ID within %d ms; the driver decides.",
                kDeviceIdWaitMs);
    return papplPrinterGetDriverName(papplJobGetPrinter(facts->job));
}

} // namespace

bool gate_admit(pappl_job_t *job, pappl_device_t *device)
{
    JobFacts facts{};
    facts.job = job;
    facts.device = device;
    const AdmissionInquiry inquiry = {&facts, banner_of, device_id_of, driver_of,
                                      ConfiguredBy::Driver};
    const Admission verdict = admission_decide(inquiry);
    if (verdict == Admission::Admit) {
        // The state is asked in what is left of the job's wait; a device
        // that let the ID query wait it out unanswered is not asked again.
        long budget = kStatusJobWaitMs - (facts.id_ms > 0 ? facts.id_ms : 0);
        if (!facts.id_answered && facts.id_ms >= kDeviceIdWaitMs)
            budget = 0;
        status_before_job(job, static_cast<int>(budget));
        return true;
    }

    const char *message = admission_message(verdict);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
    papplJobSetMessage(job, "%s", message);
    // Not aborted-by-system: a CUPS 2.4 ipp backend in front of us takes
    // that reason for a job cancelled on its own side and reports the job as
    // printed; with this one it reports "Print job canceled at printer."
    // (when its status thread sees the job before it ends).
    papplJobSetReasons(job, PAPPL_JREASON_ERRORS_DETECTED, PAPPL_JREASON_NONE);
    return false;
}
