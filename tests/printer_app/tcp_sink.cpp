// Stands in for a printer's AppSocket port: accepts connections on
// ADDRESS:PORT one at a time and appends what each sends to FILE.
//
//   tcp_sink ADDRESS PORT FILE
//
// Ready once it prints "listening"; ends on SIGTERM.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/io.h"

int main(int argc, char *argv[])
{
    if (argc != 4) {
        fprintf(stderr, "usage: tcp_sink ADDRESS PORT FILE\n");
        return 2;
    }
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(strtol(argv[2], nullptr, 10)));
    if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1 ||
        bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0 ||
        listen(listener, 4) < 0) {
        fprintf(stderr, "tcp_sink: %s:%s: %s\n", argv[1], argv[2], strerror(errno));
        close(listener);
        return 1;
    }
    const int out = open(argv[3], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) {
        fprintf(stderr, "tcp_sink: %s: %s\n", argv[3], strerror(errno));
        close(listener);
        return 1;
    }
    printf("listening\n");
    fflush(stdout);

    char buf[65536];
    for (;;) {
        const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        ssize_t n;
        while ((n = read(conn, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0 && write_all(out, buf, static_cast<size_t>(n)) != static_cast<size_t>(n))
                return 1;
        }
        close(conn);
    }
}
