// Times print jobs from the IPP request to the last byte at the device, for
// any IPP printer whose device is a socket:// URI on the address this program
// listens on. It stands in for the printer's port itself, so the clock that
// starts the job and the one that sees its last byte are the same.
//
//   print_timer job PRINTER-URI LISTEN-ADDR PORT FILE FORMAT RUNS [OUT]
//       RUNS Print-Job requests one after another; one line per run:
//       "seconds bytes stream-seconds", the last being the time from the
//       first byte at the device to the last. With OUT, the last job's bytes
//       are kept there.
//   print_timer copy LISTEN-ADDR PORT FILE RUNS
//       the baseline: FILE written straight to the same listener.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <cups/cups.h>

#include "common/io.h"

namespace {

using Clock = std::chrono::steady_clock;

int listen_on(const char *addr, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, addr, &sin.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) < 0 || listen(fd, 4) < 0) {
        perror("print_timer: listen");
        exit(1);
    }
    return fd;
}

// What one connection to the device delivered, and when its first and last
// bytes came.
struct Delivery {
    long long bytes = -1;
    Clock::time_point first;
    Clock::time_point last;
};

// Takes one connection and reads it to its end; gives up after 120 s with
// nothing (a refused or failed job never connects).
Delivery receive(int listener, int keep_fd)
{
    Delivery d;
    pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, 120000) <= 0)
        return d;
    int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0)
        return d;
    static char buffer[1 << 16];
    d.bytes = 0;
    d.last = Clock::now();
    for (ssize_t n; (n = read(conn, buffer, sizeof(buffer))) > 0;) {
        if (d.bytes == 0)
            d.first = Clock::now();
        d.bytes += n;
        d.last = Clock::now();
        if (keep_fd >= 0)
            write_all(keep_fd, buffer, static_cast<size_t>(n));
    }
    close(conn);
    return d;
}

// A whole positive number, or 0.
int number(const char *text)
{
    char *end = nullptr;
    const long n = strtol(text, &end, 10);
    return end != text && *end == '\0' && n > 0 && n < 1000000 ? static_cast<int>(n) : 0;
}

enum class Sent { ok, busy, failed };

// A printer that takes one job at a time answers "busy" while it still ends
// the last one; the caller then asks again.
Sent print_job(const char *printer_uri, const char *file, const char *format)
{
    char scheme[32], userpass[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, printer_uri, scheme, sizeof(scheme), userpass,
                        sizeof(userpass), host, sizeof(host), &port, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK)
        return Sent::failed;
    http_t *http = httpConnect2(host, port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1,
                                30000, nullptr);
    if (http == nullptr)
        return Sent::failed;
    ipp_t *request = ippNewRequest(IPP_OP_PRINT_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer_uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
    ipp_t *response = cupsDoFileRequest(http, request, resource, file);
    const ipp_status_t status = cupsLastError();
    ippDelete(response);
    httpClose(http);
    if (status == IPP_STATUS_ERROR_BUSY)
        return Sent::busy;
    if (status > IPP_STATUS_OK_CONFLICTING) {
        fprintf(stderr, "print_timer: Print-Job: %s\n", cupsLastErrorString());
        return Sent::failed;
    }
    return Sent::ok;
}

bool copy_file(const char *addr, int port, const char *file)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, addr, &sin.sin_addr);
    int in = open(file, O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && in >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) == 0;
    static char buffer[1 << 16];
    for (ssize_t n; ok && (n = read(in, buffer, sizeof(buffer))) > 0;)
        ok = write_all(fd, buffer, static_cast<size_t>(n)) == static_cast<size_t>(n);
    close(in);
    close(fd);
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool job = argc >= 8 && strcmp(argv[1], "job") == 0;
    const bool copy = argc == 6 && strcmp(argv[1], "copy") == 0;
    if (!job && !copy) {
        fputs("usage: print_timer job PRINTER-URI LISTEN-ADDR PORT FILE FORMAT RUNS [OUT]\n"
              "       print_timer copy LISTEN-ADDR PORT FILE RUNS\n",
              stderr);
        return 2;
    }
    const int shift = job ? 1 : 0;
    const int listener = listen_on(argv[2 + shift], number(argv[3 + shift]));
    const int runs = number(argv[job ? 7 : 5]);
    const int keep_fd = job && argc > 8 ? open(argv[8], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;

    for (int i = 0; i < runs; ++i) {
        Delivery d;
        std::thread device([&] { d = receive(listener, i == runs - 1 ? keep_fd : -1); });
        Clock::time_point start = Clock::now();
        bool sent;
        if (job) {
            Sent s;
            while ((s = print_job(argv[2], argv[5], argv[6])) == Sent::busy) {
                const timespec pause = {0, 20000000}; // 20 ms
                nanosleep(&pause, nullptr);
                start = Clock::now();
            }
            sent = s == Sent::ok;
        } else {
            sent = copy_file(argv[2], number(argv[3]), argv[4]);
        }
        device.join();
        if (!sent || d.bytes < 0) {
            fprintf(stderr, "print_timer: run %d: nothing reached the device\n", i + 1);
            return 1;
        }
        printf("%.6f %lld %.6f\n", std::chrono::duration<double>(d.last - start).count(), d.bytes,
               std::chrono::duration<double>(d.last - d.first).count());
        fflush(stdout);
    }
    return 0;
}
