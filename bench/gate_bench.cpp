// Times the filter's start-up on an admitted empty job and measures its peak
// memory, each against a baseline run the same way in the same process.
//
//   gate_bench startup GATE PPD TRIVIAL RUNS   median wall time, against
//                                              cat /etc/issue and TRIVIAL
//   gate_bench memory GATE PPD TRIVIAL INPUT...   peak RSS per input, against TRIVIAL
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <cups/sidechannel.h>

namespace {

const char kDeviceId[] = "MFG:Quovel;CMD:PS;MDL:R4410KX series;CLS:PRINTER;";

struct Run {
    double seconds;
    long max_rss_kib;
};

// Runs argv with stdin from in_path, stdout and stderr on /dev/null, and, when
// with_peer, a backend on descriptor 4 that answers the device-ID request at once.
Run run(const std::vector<const char *> &argv, const char *in_path, bool with_peer)
{
    int sv[2] = {-1, -1};
    pid_t peer = -1;
    if (with_peer) {
        socketpair(AF_LOCAL, SOCK_STREAM, 0, sv);
        peer = fork();
        if (peer == 0) {
            dup2(sv[1], CUPS_SC_FD);
            close(sv[0]);
            cups_sc_command_t command;
            cups_sc_status_t status;
            char data[64];
            int len = sizeof(data);
            if (cupsSideChannelRead(&command, &status, data, &len, 10.0) == 0)
                cupsSideChannelWrite(command, CUPS_SC_STATUS_OK, kDeviceId, sizeof(kDeviceId) - 1, 10.0);
            _exit(0);
        }
        close(sv[1]);
    }

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(in_path, O_RDONLY);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        if (with_peer)
            dup2(sv[0], CUPS_SC_FD);
        else
            close(CUPS_SC_FD);
        execv(argv[0], const_cast<char *const *>(argv.data()));
        _exit(127);
    }
    int status;
    rusage usage;
    wait4(pid, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (with_peer) {
        close(sv[0]);
        waitpid(peer, nullptr, 0);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed\n", argv[0]);
        exit(1);
    }
    return {seconds, usage.ru_maxrss};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 6) {
        fputs("usage: gate_bench startup GATE PPD TRIVIAL RUNS | memory GATE PPD TRIVIAL INPUT...\n", stderr);
        return 2;
    }
    const std::string mode = argv[1];
    setenv("PPD", argv[3], 1);
    const std::vector<const char *> gate = {argv[2], "1", "user", "title", "1", "", nullptr};
    const std::vector<const char *> trivial = {argv[4], nullptr};

    if (mode == "startup") {
        const std::vector<const char *> cat = {"/bin/cat", "/etc/issue", nullptr};
        std::vector<double> gate_times, cat_times, trivial_times;
        // Interleaved, so that a busy moment of the machine hits all alike.
        const long runs = strtol(argv[5], nullptr, 10);
        for (long i = 0; i < runs; ++i) {
            gate_times.push_back(run(gate, "/dev/null", true).seconds);
            cat_times.push_back(run(cat, "/dev/null", false).seconds);
            trivial_times.push_back(run(trivial, "/dev/null", false).seconds);
        }
        const double g = median(gate_times), c = median(cat_times), t = median(trivial_times);
        printf("start-up of an admitted empty job, median of %zu:\n", gate_times.size());
        printf("  filter %.2f ms, cat /etc/issue %.2f ms: ratio %.2fx\n", g * 1e3, c * 1e3, g / c);
        printf("  a trivial program linked with libcups %.2f ms: ratio to cat %.2fx, filter to it %.2fx\n",
               t * 1e3, t / c, g / t);
        return 0;
    }

    const long base = run(trivial, "/dev/null", false).max_rss_kib;
    for (int i = 5; i < argc; ++i) {
        const long rss = run(gate, argv[i], true).max_rss_kib;
        printf("memory: filter %ld KiB on %s, trivial libcups program %ld KiB, ratio %.2fx\n", rss, argv[i],
               base, static_cast<double>(rss) / static_cast<double>(base));
    }
    return 0;
}
