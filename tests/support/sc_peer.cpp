// sc_peer STATUS DEVICE-ID PROGRAM [ARGS...]
//
// Runs PROGRAM, looked up through PATH, with a side channel on descriptor 4, as the scheduler would,
// and answers its one device-ID request with STATUS (a number, as in
// cups_sc_status_t) and DEVICE-ID. Exits with PROGRAM's exit status, or 128
// plus the signal that ended it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cups/sidechannel.h>

namespace {

// Puts fd on target, open across exec.
void move_fd(int fd, int target)
{
    if (fd == target) {
        fcntl(target, F_SETFD, 0);
        return;
    }
    dup2(fd, target);
    close(fd);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 4) {
        fputs("usage: sc_peer STATUS DEVICE-ID PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    int sv[2];
    if (socketpair(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
        return 2;

    const pid_t pid = fork();
    if (pid == 0) {
        move_fd(sv[0], CUPS_SC_FD);
        execvp(argv[3], argv + 3);
        _exit(127);
    }
    close(sv[0]);
    // Our end goes to descriptor 4 too, where libcups speaks.
    move_fd(sv[1], CUPS_SC_FD);

    cups_sc_command_t command;
    cups_sc_status_t ignored;
    char request[1024];
    int len = sizeof(request);
    if (cupsSideChannelRead(&command, &ignored, request, &len, 60.0) == 0)
        cupsSideChannelWrite(command, static_cast<cups_sc_status_t>(strtol(argv[1], nullptr, 10)), argv[2],
                             static_cast<int>(strlen(argv[2])), 60.0);
    close(CUPS_SC_FD);

    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
