// The same rules as the filter: a supported system, and a supported printer
// by the device ID it reports or, when it reports none, by the driver that
// the administrator chose (the filter's PPD nickname).
#include "printer_app/gate.h"

#include <cstring>
#include <ctime>

#include "checks/checks.h"
#include "printer_app/drivers.h"

namespace {

const char kSystemMessage[] = "当前打印机不可打印，请使用正确的系统";
const char kPrinterMessage[] = "当前打印机不可打印，请使用正确的打印机";

bool refuse(pappl_job_t *job, const char *message)
{
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
    papplJobSetMessage(job, "%s", message);
    // Not aborted-by-system: a CUPS 2.4 ipp backend in front of us takes
    // that reason for a job cancelled on its own side and reports the job as
    // printed; with this one it reports "Print job canceled at printer."
    // (when its status thread sees the job before it ends).
    papplJobSetReasons(job, PAPPL_JREASON_ERRORS_DETECTED, PAPPL_JREASON_NONE);
    return false;
}

} // namespace

bool gate_admit(pappl_job_t *job, pappl_device_t *device)
{
    if (!isSupportSystem())
        return refuse(job, kSystemMessage);

    pappl_printer_t *printer = papplJobGetPrinter(job);
    char device_id[1024] = "";
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const bool got = papplDeviceGetID(device, device_id, sizeof(device_id)) != nullptr &&
                     device_id[0] != '\0';
    clock_gettime(CLOCK_MONOTONIC, &end);
    const long ms = (end.tv_sec - start.tv_sec) * 1000L + (end.tv_nsec - start.tv_nsec) / 1000000L;
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Device ID query took %ld ms.", ms);
    if (got) {
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The device reports '%s'.", device_id);
        if (!isSupportDeviceID(device_id))
            return refuse(job, kPrinterMessage);
        return true;
    }

    papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                "The device reported no device ID within %d ms; the driver decides.",
                kDeviceIdWaitMs);
    if (driver_of_printer(printer) == nullptr)
        return refuse(job, kPrinterMessage);
    return true;
}
