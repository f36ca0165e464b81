// Times the filter's start-up on an admitted empty job, measures its peak
// memory, and times how soon a cancel ends it, each against a baseline run
// the same way in the same process.
//
//   gate_bench startup GATE PPD TRIVIAL RUNS   median wall time, against
//                                              cat /etc/issue and TRIVIAL
//   gate_bench memory GATE PPD TRIVIAL INPUT...   peak RSS per input, against TRIVIAL
//   gate_bench cancel GATE PPD TRIVIAL RUNS    median time from SIGTERM to the
//                                              filter's end in each state a
//                                              cancel finds it, against
//                                              sleep ended by SIGTERM
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
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

// Where a cancel finds the filter.
enum class Stage { WaitingForDeviceId, PausingBeforeRefusal, CopyingFromAStalledStage, Baseline };

bool readable(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// Answers the filter's side-channel request on fd, the backend's end, with id.
bool answer_request(int fd, const char *id)
{
    // libcups speaks the side channel on descriptor 4 only.
    const int saved = dup(CUPS_SC_FD);
    dup2(fd, CUPS_SC_FD);
    cups_sc_command_t command;
    cups_sc_status_t status;
    char data[64];
    int len = sizeof(data);
    const bool ok = cupsSideChannelRead(&command, &status, data, &len, 10.0) == 0 &&
                    cupsSideChannelWrite(command, CUPS_SC_STATUS_OK, id, static_cast<int>(strlen(id)), 10.0) == 0;
    if (saved >= 0) {
        dup2(saved, CUPS_SC_FD);
        close(saved);
    } else {
        close(CUPS_SC_FD);
    }
    return ok;
}

// Starts the filter (or sleep, for the baseline) in the stage, sends SIGTERM
// once it is there and returns the seconds until it has ended.
double time_cancel(const char *gate, Stage stage)
{
    int sc[2];
    int in[2];
    if (socketpair(AF_LOCAL, SOCK_STREAM, 0, sc) < 0 || pipe(in) < 0) {
        perror("gate_bench");
        exit(1);
    }
    pid_t pid = fork();
    if (pid == 0) {
        // Our ends first: either may sit on descriptor 4.
        close(in[1]);
        close(sc[1]);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(in[0], 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        dup2(sc[0], CUPS_SC_FD);
        if (stage == Stage::Baseline)
            execl("/bin/sleep", "sleep", "1000", static_cast<char *>(nullptr));
        else
            execl(gate, gate, "1", "user", "title", "1", "", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(sc[0]);

    // The backend's end of the side channel is ours: the request arrives
    // here, and is answered or left waiting as the stage wants.
    bool ready = true;
    if (stage == Stage::WaitingForDeviceId) {
        ready = readable(sc[1], 10000);
    } else if (stage == Stage::PausingBeforeRefusal) {
        static const char kOther[] = "MFG:Quovel;MDL:X9000 series;CLS:PRINTER;";
        ready = readable(sc[1], 10000) && answer_request(sc[1], kOther);
        // The answer is judged in microseconds and the pause lasts a
        // second, so 100 ms from now the filter is well inside the pause.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } else if (stage == Stage::CopyingFromAStalledStage) {
        static const char kDocument[] = "%!PS\n";
        ready = write(in[1], kDocument, sizeof(kDocument) - 1) == sizeof(kDocument) - 1;
        // The filter asks for the device ID first, then reads.
        ready = ready && readable(sc[1], 10000) && answer_request(sc[1], kDeviceId);
        int queued = 1;
        for (int i = 0; ready && i < 10000 && ioctl(in[1], FIONREAD, &queued) == 0 && queued > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ready = ready && queued == 0;
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto start = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(in[1]);
    close(sc[1]);
    const bool ended_well = stage == Stage::Baseline ? WIFSIGNALED(status) : WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ready || !ended_well) {
        fprintf(stderr, "a cancel run did not go as planned (stage %d, status %d)\n", static_cast<int>(stage), status);
        exit(1);
    }
    return seconds;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 6) {
        fputs("usage: gate_bench startup|cancel GATE PPD TRIVIAL RUNS | memory GATE PPD TRIVIAL INPUT...\n", stderr);
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

    if (mode == "cancel") {
        static const struct {
            Stage stage;
            const char *what;
        } stages[] = {
            {Stage::WaitingForDeviceId, "waiting for the device ID"},
            {Stage::PausingBeforeRefusal, "in the pause before a refusal"},
            {Stage::CopyingFromAStalledStage, "copying from a stalled upstream stage"},
        };
        const long runs = strtol(argv[5], nullptr, 10);
        std::vector<double> times[3], baseline;
        // Interleaved, so that a busy moment of the machine hits all alike.
        for (long i = 0; i < runs; ++i) {
            for (size_t k = 0; k < 3; ++k)
                times[k].push_back(time_cancel(argv[2], stages[k].stage));
            baseline.push_back(time_cancel(argv[2], Stage::Baseline));
        }
        const double b = median(baseline);
        printf("SIGTERM to the end of the process, median of %ld:\n", runs);
        for (size_t k = 0; k < 3; ++k)
            printf("  filter %-38s %7.3f ms  %6.1fx\n", stages[k].what, median(times[k]) * 1e3,
                   median(times[k]) / b);
        printf("  sleep, ended by the signal itself          %7.3f ms\n", b * 1e3);
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
