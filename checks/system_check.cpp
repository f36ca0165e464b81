// The operating-system check: the banner in /etc/issue must name a supported
// system.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "checks/checks.h"
#include "common/cancel.h"
#include "common/child.h"

namespace {

const int kNameSlot = 64;

const char support_systeminfo[][kNameSlot] = {
    "Debian",
    "Kernel",
    "Astra",
};

} // namespace

bool isSupportSystem()
{
    // One more byte than the longest read so the text is always terminated.
    char text[1024 + 1];
    memset(text, 0, sizeof(text));
    bool supported = false;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) {
        fputs("Create pipe for get system info Failed.\n", stderr);
        return false;
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
        while (read(fds[0], text, sizeof(text) - 1) < 0 && errno == EINTR)
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

    for (const auto &name : support_systeminfo) {
        if (strstr(text, name) != nullptr) {
            supported = true;
            break;
        }
    }
    fprintf(stderr, "SystemInfo: %s\n", text);
    return supported;
}
