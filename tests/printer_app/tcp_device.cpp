// Stands in for a printer's AppSocket port: accepts connections on
// ADDRESS:PORT one at a time and
//
//   tcp_device ADDRESS PORT FILE append       appends each connection to FILE
//   tcp_device ADDRESS PORT PREFIX sink       writes connection N to PREFIX.N
//   tcp_device ADDRESS PORT PREFIX hangup=N   ... but hangs up after N bytes
//   tcp_device ADDRESS PORT PREFIX stall      reads nothing and never hangs up
//   tcp_device ADDRESS PORT PREFIX hold=PATH  as sink, but reads nothing of a
//                                             connection until PATH exists, with
//                                             a small receive buffer: a printer
//                                             that waits for paper
//   tcp_device ADDRESS PORT PREFIX ghostscript
//                                             feeds connection N to Ghostscript,
//                                             as a PostScript printer's
//                                             interpreter reads it: pages to
//                                             PREFIX.N.PAGE.pgm, its exit
//                                             status to PREFIX.N.status
//
// Ready once it prints "listening"; then prints "open N" and "closed N" as
// connection N comes and goes, so that a test can tell when it has taken
// all it was sent. Ends on SIGTERM.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/io.h"

namespace {

// Copies the connection to the file, up to limit bytes (< 0: no limit).
void take(int conn, int out, long limit)
{
    char buf[65536];
    long total = 0;
    while (limit < 0 || total < limit) {
        size_t want = sizeof(buf);
        if (limit >= 0 && static_cast<size_t>(limit - total) < want)
            want = static_cast<size_t>(limit - total);
        const ssize_t n = read(conn, buf, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        if (write_all(out, buf, static_cast<size_t>(n)) != static_cast<size_t>(n))
            return;
        total += n;
    }
}

// Runs Ghostscript on the connection. An error stops the interpreter, and
// whatever followed in the connection is drained unread, as a printer flushes
// the rest of a job stream after an error.
void interpret(int conn, const char *prefix, unsigned n)
{
    char output[4096], status_name[4096], out_arg[4200];
    snprintf(output, sizeof(output), "%s.%u.%%03d.pgm", prefix, n);
    snprintf(out_arg, sizeof(out_arg), "-sOutputFile=%s", output);
    snprintf(status_name, sizeof(status_name), "%s.%u.status", prefix, n);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(conn, 0);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execlp("gs", "gs", "-q", "-dSAFER", "-dNOPAUSE", "-dBATCH", "-sDEVICE=pgmraw", "-r10", out_arg, "-",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = -1;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
    char buf[65536];
    while (read(conn, buf, sizeof(buf)) > 0)
        ;
    FILE *fp = fopen(status_name, "w");
    if (fp != nullptr) {
        fprintf(fp, "%d\n", pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        fclose(fp);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 5) {
        fprintf(stderr, "usage: tcp_device ADDRESS PORT PREFIX append|sink|hangup=N|stall|hold=PATH|"
                        "ghostscript\n");
        return 2;
    }
    const bool stall = strcmp(argv[4], "stall") == 0;
    const bool ghostscript = strcmp(argv[4], "ghostscript") == 0;
    const bool append = strcmp(argv[4], "append") == 0;
    const long limit = strncmp(argv[4], "hangup=", 7) == 0 ? strtol(argv[4] + 7, nullptr, 10) : -1;
    const char *hold = strncmp(argv[4], "hold=", 5) == 0 ? argv[4] + 5 : nullptr;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (hold != nullptr) {
        // Inherited by each connection: the sender soon has to wait.
        const int small = 4096;
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(strtol(argv[2], nullptr, 10)));
    if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1 ||
        bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0 ||
        listen(listener, 4) < 0) {
        fprintf(stderr, "tcp_device: %s:%s: %s\n", argv[1], argv[2], strerror(errno));
        close(listener);
        return 1;
    }
    printf("listening\n");
    fflush(stdout);

    for (unsigned n = 1;; n++) {
        const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        printf("open %u\n", n);
        fflush(stdout);
        if (stall) {
            // Keeps the connection, unread, until the other side gives up.
            pollfd p{conn, POLLRDHUP, 0};
            while ((poll(&p, 1, -1) >= 0 || errno == EINTR) &&
                   (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0)
                ;
            close(conn);
            printf("closed %u\n", n);
            fflush(stdout);
            continue;
        }
        if (ghostscript) {
            interpret(conn, argv[3], n);
            close(conn);
            continue;
        }
        while (hold != nullptr && access(hold, F_OK) != 0)
            poll(nullptr, 0, 50);
        char name[4096];
        snprintf(name, sizeof(name), "%s.%u", argv[3], n);
        const int out = append ? open(argv[3], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)
                               : open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out >= 0) {
            take(conn, out, limit);
            close(out);
        }
        close(conn);
        printf("closed %u\n", n);
        fflush(stdout);
    }
}
