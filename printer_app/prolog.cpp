// The job options as a PostScript driver sends them: one setpagedevice per
// feature, each inside "stopped" so that a printer without it goes on.
#include <cerrno>
#include <cstdio>

#include "printer_app/jobs.h"

namespace {

// Appends a formatted feature to buf at *used; false when it did not fit.
bool add(char *buf, size_t size, size_t *used, const char *text)
{
    const int n = snprintf(buf + *used, size - *used, "%s", text);
    if (n < 0 || static_cast<size_t>(n) >= size - *used)
        return false;
    *used += static_cast<size_t>(n);
    return true;
}

// errno of this thread's last failed write to its device.
thread_local int write_errno = 0;

double points(int hundredths_mm)
{
    return hundredths_mm * 72.0 / 2540.0;
}

} // namespace

bool jobs_prolog(const pappl_pr_options_t *options, bool copies, char *buf, size_t size)
{
    char feature[256];
    size_t used = 0;
    if (size == 0)
        return false;
    buf[0] = '\0';

    snprintf(feature, sizeof(feature),
             "[{\n%%%%BeginFeature: *PageSize %s\n<</PageSize[%.0f %.0f]/ImagingBBox null>>"
             "setpagedevice\n%%%%EndFeature\n} stopped cleartomark\n",
             options->media.size_name, points(options->media.size_width),
             points(options->media.size_length));
    if (!add(buf, size, &used, feature))
        return false;

    const bool duplex = options->sides != PAPPL_SIDES_ONE_SIDED;
    const bool tumble = options->sides == PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    snprintf(feature, sizeof(feature),
             "[{\n%%%%BeginFeature: *Duplex %s\n<</Duplex %s/Tumble %s>>setpagedevice\n"
             "%%%%EndFeature\n} stopped cleartomark\n",
             !duplex ? "None" : tumble ? "DuplexTumble" : "DuplexNoTumble",
             duplex ? "true" : "false", tumble ? "true" : "false");
    if (!add(buf, size, &used, feature))
        return false;

    snprintf(feature, sizeof(feature),
             "[{\n%%%%BeginFeature: *Resolution %ddpi\n<</HWResolution[%d %d]>>setpagedevice\n"
             "%%%%EndFeature\n} stopped cleartomark\n",
             options->printer_resolution[0], options->printer_resolution[0],
             options->printer_resolution[1]);
    if (!add(buf, size, &used, feature))
        return false;

    if (copies && options->copies > 1) {
        snprintf(feature, sizeof(feature),
                 "[{\n<</NumCopies %d>>setpagedevice\n} stopped cleartomark\n", options->copies);
        if (!add(buf, size, &used, feature))
            return false;
    }
    return true;
}

bool jobs_write(pappl_device_t *device, const void *data, size_t len)
{
    if (len == 0)
        return true;
    errno = 0;
    const bool ok = papplDeviceWrite(device, data, len) == static_cast<ssize_t>(len);
    if (!ok)
        write_errno = errno;
    return ok;
}

bool jobs_fail(pappl_job_t *job, pappl_jreason_t reason, const char *message)
{
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
    // A cancelled job keeps the reason that the cancel gave it.
    if (!papplJobIsCanceled(job)) {
        papplJobSetMessage(job, "%s", message);
        // errors-detected rather than aborted-by-system, as for refused jobs.
        papplJobSetReasons(job, static_cast<pappl_jreason_t>(PAPPL_JREASON_ERRORS_DETECTED | reason),
                           PAPPL_JREASON_NONE);
    }
    return false;
}

bool jobs_device_failed(pappl_job_t *job)
{
    if (papplJobIsCanceled(job))
        return false;
    return jobs_fail(job, PAPPL_JREASON_NONE,
                     write_errno == ETIMEDOUT
                         ? "The printer stopped taking data; the job was ended."
                         : "Unable to write to the printer.");
}
