#include "filter/identify.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <cups/ppd.h>
#include <cups/sidechannel.h>

#include "common/cancel.h"
#include "common/child.h"

namespace {

// A backend may hold the job for up to three hours before we fall back on the
// PPD.
const double kSideChannelTimeout = 10800.0;

struct JobFacts {
    char banner[1024 + 1]; // one more byte than the longest read
    char device_id[512];
    char nickname[256];
};

const char *banner_of(void *ctx)
{
    JobFacts *facts = static_cast<JobFacts *>(ctx);
    getSystemInfo(facts->banner, sizeof(facts->banner));
    return facts->banner;
}

const char *device_id_of(void *ctx)
{
    // A job cancelled while its banner was read asks the printer nothing.
    if (job_canceled != 0)
        return nullptr;
    JobFacts *facts = static_cast<JobFacts *>(ctx);
    int len = static_cast<int>(sizeof(facts->device_id)) - 1;
    return query1284info(facts->device_id, &len) ? facts->device_id : nullptr;
}

const char *nickname_of(void *ctx)
{
    if (job_canceled != 0)
        return nullptr;
    JobFacts *facts = static_cast<JobFacts *>(ctx);
    return getShortNickName(facts->nickname, sizeof(facts->nickname)) ? facts->nickname : nullptr;
}

} // namespace

void getSystemInfo(char *text, size_t size)
{
    memset(text, 0, size);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) {
        fputs("Create pipe for get system info Failed.\n", stderr);
        return;
    }

    static const char *const argv[] = {"cat", "/etc/issue", nullptr};
    const pid_t pid = start_child(argv, -1, fds[1]);
    const int start_errno = errno;
    // Our copy of the write end must go before the read, or a silent child
    // would leave the read waiting forever.
    close(fds[1]);
    if (pid < 0) {
        fprintf(stderr, "getSystemInfo: Unable to excute cat program.err is %d\n", start_errno);
    } else if (wait_readable(fds[0], -1)) {
        // The banner is judged by its first read only, as it always was.
        while (read(fds[0], text, size - 1) < 0 && errno == EINTR)
            ;
    }
    // Closing the read end first lets a cat with a long banner end on EPIPE
    // instead of blocking the wait below; a cancelled job doesn't wait for a
    // cat that is stuck.
    close(fds[0]);
    if (pid >= 0) {
        if (job_canceled != 0)
            kill(pid, SIGKILL);
        wait_child(pid);
    }
    fprintf(stderr, "SystemInfo: %s\n", text);
}

bool query1284info(char *device_id, int *len)
{
    const int capacity = *len;
    // libcups's own request waits out its whole time-out through any signal,
    // so the filter waits for the answer itself and lets a cancel end the wait.
    cups_sc_command_t command = CUPS_SC_CMD_NONE;
    cups_sc_status_t status = CUPS_SC_STATUS_TIMEOUT;
    if (cupsSideChannelWrite(CUPS_SC_CMD_GET_DEVICE_ID, CUPS_SC_STATUS_NONE, nullptr, 0, kSideChannelTimeout) == 0 &&
        wait_readable(CUPS_SC_FD, kSideChannelTimeout) &&
        cupsSideChannelRead(&command, &status, device_id, len, kSideChannelTimeout) == 0 &&
        command == CUPS_SC_CMD_GET_DEVICE_ID && status == CUPS_SC_STATUS_OK && *len > 0 && *len <= capacity) {
        device_id[*len] = '\0';
        return true;
    }
    device_id[0] = '\0';
    // A cancelled job is not short of a device ID; it just ends.
    if (job_canceled == 0)
        fputs("cups api can't find 1284 information.\n", stderr);
    return false;
}

// The PPD API is deprecated in libcups but remains the way to read a queue's
// PPD from a filter; the warning is silenced for these calls only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

bool getShortNickName(char *name, size_t size)
{
    const char *path = getenv("PPD");
    ppd_file_t *ppd = path != nullptr ? ppdOpenFile(path) : nullptr;
    if (ppd == nullptr)
        return false;
    const ppd_attr_t *attr = ppdFindAttr(ppd, "ShortNickName", nullptr);
    bool found = false;
    if (attr != nullptr && attr->value != nullptr) {
        fprintf(stderr, "attr->value :%s.\n", attr->value);
        // A longer value can't be a supported nickname; cut, it still isn't.
        snprintf(name, size, "%s", attr->value);
        found = true;
    }
    ppdClose(ppd);
    return found;
}

#pragma GCC diagnostic pop

Admission judge_job()
{
    static JobFacts facts;
    const AdmissionInquiry inquiry = {&facts, banner_of, device_id_of, nickname_of,
                                      ConfiguredBy::PpdNickname};
    return admission_decide(inquiry);
}
