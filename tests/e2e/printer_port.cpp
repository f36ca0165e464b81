// Stands in for a network printer's raw port in the scheduler tests:
//
//   printer_port PREFIX [ADDRESS]
//
// listens on a free port of ADDRESS (127.0.0.1 when not given), prints the port's number on standard
// output, and writes what each connection sends to PREFIX.1, PREFIX.2, ...
// until it is killed. A connection's file is complete before the connection
// closes, and CUPS's socket backend waits for that close before it reports
// the job done.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "common/io.h"

int main(int argc, char *argv[])
{
    if (argc != 2 && argc != 3) {
        fputs("usage: printer_port PREFIX [ADDRESS]\n", stderr);
        return 2;
    }
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    socklen_t len = sizeof(addr);
    if (listener < 0 || inet_pton(AF_INET, argc == 3 ? argv[2] : "127.0.0.1", &addr.sin_addr) != 1 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(listener, 8) != 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        perror("printer_port");
        return 1;
    }
    printf("%u\n", ntohs(addr.sin_port));
    fflush(stdout);

    char buffer[65536];
    for (unsigned n = 1;; ++n) {
        const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) {
            perror("printer_port: accept");
            return 1;
        }
        const std::string name = std::string(argv[1]) + "." + std::to_string(n);
        const int out = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ssize_t got;
        while ((got = read(conn, buffer, sizeof(buffer))) > 0) {
            if (out < 0 || write_all(out, buffer, static_cast<size_t>(got)) != static_cast<size_t>(got)) {
                perror("printer_port: write");
                return 1;
            }
        }
        close(out);
        close(conn);
    }
}
