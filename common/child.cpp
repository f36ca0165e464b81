#include "common/child.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/io.h"

int wait_child(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

namespace {

// In the child: makes fd the descriptor target, kept open across the exec,
// or leaves target alone when fd < 0.
bool move_to(int fd, int target)
{
    if (fd < 0)
        return true;
    if (fd == target)
        return fcntl(target, F_SETFD, 0) == 0;
    return dup2(fd, target) == target;
}

} // namespace

pid_t start_child(const char *const argv[], int in_fd, int out_fd)
{
    return start_child_in_group(argv, in_fd, out_fd, -1);
}

pid_t start_child_in_group(const char *const argv[], int in_fd, int out_fd, pid_t group)
{
    // The child reports a failed exec through this close-on-exec pipe: a
    // successful exec closes it empty, a failed one sends errno first.
    int report[2];
    if (pipe2(report, O_CLOEXEC) < 0)
        return -1;

    pid_t pid = fork();
    switch (pid) {
    case -1: {
        int saved = errno;
        close(report[0]);
        close(report[1]);
        errno = saved;
        return -1;
    }
    case 0:
        close(report[0]);
        // The filter ignores SIGPIPE for itself; a helper that writes into a
        // closed pipe should end as it normally would.
        signal(SIGPIPE, SIG_DFL);
        if (group >= 0 && setpgid(0, group) < 0) {
            int err = errno;
            write_all(report[1], &err, sizeof(err));
            _exit(127);
        }
        // A caller with standard input or output closed may have been given
        // them for the report pipe; keep it clear of the descriptors we set.
        if (report[1] <= STDOUT_FILENO)
            report[1] = fcntl(report[1], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (move_to(in_fd, STDIN_FILENO) && move_to(out_fd, STDOUT_FILENO))
            execvp(argv[0], const_cast<char *const *>(argv));
        {
            int err = errno;
            write_all(report[1], &err, sizeof(err));
        }
        _exit(127);
    }

    close(report[1]);
    int err = 0;
    ssize_t n;
    while ((n = read(report[0], &err, sizeof(err))) < 0 && errno == EINTR)
        ;
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof(err))) {
        wait_child(pid);
        errno = err;
        return -1;
    }
    return pid;
}

int run_child(const char *const argv[], int in_fd, int out_fd)
{
    pid_t pid = start_child(argv, in_fd, out_fd);
    if (pid < 0)
        return -1;
    return wait_child(pid);
}
