// The built filter run as the scheduler runs it: filter arguments, PPD in the
// environment, print data on standard input, the backend on descriptor 4.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/support.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kSupportedBanner[] = "Debian GNU/Linux 12 \\n \\l\n";
const char kRow0[] = "MFG:Quovel;CMD:PS;MDL:R4410KX series;CLS:PRINTER;";
const char kSystemReport[] = "ERROR:当前打印机不可打印，请使用正确的系统\n";
const char kPrinterReport[] = "ERROR:当前打印机不可打印，请使用正确的打印机\n";

// How long a test waits for what should take milliseconds before calling it a
// hang. The hangs it tells apart last far longer: the stand-in cat's stall,
// the side channel's hours-long time-out, a stage that never sends more.
const double kHangGuard = 10.0;

struct Job {
    std::string banner = kSupportedBanner;
    bool slow_cat = false;
    test::PeerMode mode = test::PeerMode::Answer;
    cups_sc_status_t status = CUPS_SC_STATUS_OK;
    std::string device_id = kRow0;
    std::string ppd = "other-printer.ppd";
    std::string input;
    std::vector<std::string> args = {"queue", "42", "alice", "title", "1", ""};
};

struct Outcome {
    int exit_code = -1;
    std::string out;
    std::string err;
    int peer_command = -1;
    double seconds = 0;
};

// For start_gate: the descriptor is closed in the filter.
const int kClosed = -2;

// Starts the filter in dir with the job's environment and descriptors.
// stdin_fd and stdout_fd default (-1) to files in dir.
pid_t start_gate(const test::TempDir &dir, const Job &job, const test::Peer &peer, int stdin_fd,
                 int stdout_fd)
{
    test::install_fake_cat(dir, job.banner, job.slow_cat);
    const std::string in = dir.write("input", job.input);
    const std::string path = "PATH=" + dir.path();
    const std::string ppd = "PPD=" + std::string(PPD_DIR) + "/" + job.ppd;

    pid_t pid = fork();
    if (pid == 0) {
        int in_fd = stdin_fd >= 0 ? stdin_fd : open(in.c_str(), O_RDONLY);
        int out_fd = stdout_fd >= 0 ? stdout_fd
                                    : open((dir.path() + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err_fd = open((dir.path() + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        if (stdin_fd == kClosed)
            close(0);
        if (stdout_fd == kClosed)
            close(1);
        dup2(err_fd, 2);
        if (peer.fd >= 0)
            dup2(peer.fd, CUPS_SC_FD);
        else
            close(CUPS_SC_FD);
        // As the scheduler does, argv[0] is the queue's name.
        std::vector<char *> argv(job.args.size() + 1, nullptr);
        std::transform(job.args.begin(), job.args.end(), argv.begin(),
                       [](const std::string &a) { return const_cast<char *>(a.c_str()); });
        char *envp[] = {const_cast<char *>(path.c_str()), const_cast<char *>(ppd.c_str()), nullptr};
        execve(GATE_PATH, argv.data(), envp);
        _exit(127);
    }
    return pid;
}

Outcome finish_gate(const test::TempDir &dir, pid_t pid, test::Peer &peer, Clock::time_point start)
{
    Outcome o;
    int status = 0;
    waitpid(pid, &status, 0);
    o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    o.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    o.peer_command = peer.pid > 0 ? test::finish_peer(peer) : -1;
    o.out = test::read_file(dir.path() + "/out");
    o.err = test::read_file(dir.path() + "/err");
    return o;
}

Outcome run_gate(const Job &job, bool with_peer = true)
{
    test::TempDir dir;
    test::Peer peer;
    if (with_peer)
        peer = test::start_peer(job.mode, job.status, job.device_id);
    const auto start = Clock::now();
    pid_t pid = start_gate(dir, job, peer, -1, -1);
    if (peer.fd >= 0)
        close(peer.fd);
    peer.fd = -1;
    return finish_gate(dir, pid, peer, start);
}

TEST(Filter, AnAdmittedJobIsCopiedByteForByteWhateverItsSize)
{
    const size_t sizes[] = {0, 1, 8191, 8192, 8193, 5u << 20};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        Job job;
        job.input = test::random_bytes(size, static_cast<unsigned>(size));
        const Outcome o = run_gate(job);
        EXPECT_EQ(o.exit_code, 0);
        EXPECT_TRUE(o.out == job.input) << "output differs from input";
        EXPECT_EQ(o.err, "SystemInfo: " + job.banner + "\n");
        EXPECT_EQ(o.peer_command, CUPS_SC_CMD_GET_DEVICE_ID);
    }
}

struct RefusalCase {
    const char *what;
    std::string banner;
    std::string device_id;
    std::string err;
    int peer_command;
};

TEST(Filter, ARefusedJobWaitsASecondReportsWhyAndPrintsNothing)
{
    const RefusalCase cases[] = {
        {"unsupported system", "Ubuntu 22.04 LTS\n", kRow0,
         "SystemInfo: Ubuntu 22.04 LTS\n\n" + std::string(kSystemReport), 0},
        {"unsupported printer", kSupportedBanner, "MFG:Other;MDL:X1;CLS:PRINTER;",
         "SystemInfo: " + std::string(kSupportedBanner) + "\n" + kPrinterReport,
         CUPS_SC_CMD_GET_DEVICE_ID},
    };
    for (const RefusalCase &c : cases) {
        SCOPED_TRACE(c.what);
        Job job;
        job.banner = c.banner;
        job.device_id = c.device_id;
        job.ppd = "r4410kx.ppd";
        job.input = "%!PS\nshowpage\n";
        const Outcome o = run_gate(job);
        EXPECT_EQ(o.exit_code, 0);
        EXPECT_EQ(o.out, "");
        // The report is followed by libcups's own ": <errno text>" line.
        EXPECT_EQ(o.err.substr(0, c.err.size()), c.err);
        EXPECT_EQ(o.peer_command, c.peer_command) << "0 means no side-channel request";
        EXPECT_GE(o.seconds, 0.95);
        EXPECT_LT(o.seconds, 1.0 + kHangGuard);
    }
}

TEST(Filter, WithoutADeviceIdTheNicknameAdmitsTheJobAfterTheQueryMessage)
{
    Job job;
    job.status = CUPS_SC_STATUS_NOT_IMPLEMENTED;
    job.ppd = "l8120kx.ppd";
    job.input = "%!PS\nshowpage\n";
    const Outcome o = run_gate(job);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.out, job.input);
    EXPECT_EQ(o.err, "SystemInfo: " + job.banner +
                         "\ncups api can't find 1284 information.\nattr->value :L8120KX Series PS.\n");

    // With no backend on the side channel at all the answer is the same.
    const Outcome alone = run_gate(job, false);
    EXPECT_EQ(alone.exit_code, 0);
    EXPECT_EQ(alone.out, job.input);
}

TEST(Filter, TheFirstFilterOfAChainReadsThePrintFileNamedInItsSeventhArgument)
{
    test::TempDir files;
    Job job;
    job.input = "standard input is ignored when a file is named";
    job.args.push_back(files.write("print file", "%!PS\n% the print file\n"));
    Outcome o = run_gate(job);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.out, "%!PS\n% the print file\n");

    job.args.back() = files.path() + "/missing";
    o = run_gate(job);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("ERROR: Unable to open print file \"" + job.args.back() + "\""), std::string::npos);
}

TEST(Filter, BrokenStandardStreamsEndInAReportNotACrashAndStatusZero)
{
    int reader_gone[2];
    ASSERT_EQ(pipe2(reader_gone, O_CLOEXEC), 0);
    close(reader_gone[0]);
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    const std::string per_chunk = "write file error! \nwrite file error! \nwrite file error! \n";
    const struct {
        const char *what;
        int in;
        int out;
        std::string err_after_banner;
    } cases[] = {
        {"output to a pipe nobody reads", -1, reader_gone[1], per_chunk},
        {"output to a full device", -1, full, per_chunk},
        {"output closed", -1, kClosed, per_chunk},
        {"input closed", kClosed, -1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        Job job;
        job.input = test::random_bytes(size_t{3} * 8192, 7);
        test::Peer peer = test::start_peer(job.mode, job.status, job.device_id);
        const auto start = Clock::now();
        const pid_t pid = start_gate(dir, job, peer, c.in, c.out);
        close(peer.fd);
        peer.fd = -1;
        const Outcome o = finish_gate(dir, pid, peer, start);
        EXPECT_EQ(o.exit_code, 0);
        EXPECT_EQ(o.err, "SystemInfo: " + job.banner + "\n" + c.err_after_banner);
    }
    close(full);
    close(reader_gone[1]);
}

// Waits up to seconds for the file at path to exist and hold text.
bool wait_for_text(const std::string &path, const std::string &text, double seconds)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (access(path.c_str(), F_OK) != 0 || test::read_file(path).find(text) == std::string::npos) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Waits up to seconds for the reader of the pipe whose write end is fd to
// have taken everything written to it.
bool wait_for_pipe_drained(int fd, double seconds)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    int queued = 0;
    while (ioctl(fd, FIONREAD, &queued) == 0 && queued > 0) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return queued == 0;
}

// Waits up to seconds for pid to end, and kills it when it doesn't. True when
// it ended by itself; *status is its wait status either way.
bool ended_within(pid_t pid, double seconds, int *status)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (waitpid(pid, status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(Filter, ACancelEndsASlowCopyPromptlyAfterPassingOnWhatArrived)
{
    test::TempDir dir;
    Job job;
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    test::Peer peer = test::start_peer(job.mode, job.status, job.device_id);
    const pid_t pid = start_gate(dir, job, peer, in[0], -1);
    close(in[0]);
    close(peer.fd);
    peer.fd = -1;

    // The upstream stage sends a little, then stalls with its end still open.
    ASSERT_EQ(write(in[1], "%!PS\n", 5), 5);
    EXPECT_TRUE(wait_for_pipe_drained(in[1], kHangGuard)) << "the filter never read the data";
    kill(pid, SIGTERM);
    int status = 0;
    // Without the cancel the copy would wait for the stalled stage forever.
    EXPECT_TRUE(ended_within(pid, kHangGuard, &status)) << "still copying long after the cancel";
    close(in[1]);
    test::finish_peer(peer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(test::read_file(dir.path() + "/out"), "%!PS\n");
}

struct CancelCase {
    const char *what;
    const char *ready_file; // in the job's folder: shows the filter is where the case wants it
    const char *ready_text;
    std::string banner;
    test::PeerMode mode;
    bool slow_cat;
    bool backend_dies; // the backend ends with the job, as a cancel in the scheduler makes it
};

TEST(Filter, ACancelBeforeTheCopyEndsTheFilterPromptlyAndQuietly)
{
    using test::PeerMode;
    const std::string other = "Ubuntu 22.04 LTS\n";
    const CancelCase cases[] = {
        {"during the system check", "cat-started", "", other, PeerMode::Answer, true, false},
        {"during the pause before a refusal", "err", "SystemInfo:", other, PeerMode::Answer, false, false},
        {"while the backend keeps silent", "err", "SystemInfo:", kSupportedBanner, PeerMode::Silent, false, false},
        {"while the backend ends with the job", "err", "SystemInfo:", kSupportedBanner, PeerMode::Silent, false,
         true},
    };
    for (const CancelCase &c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        Job job;
        job.banner = c.banner;
        job.slow_cat = c.slow_cat;
        job.input = "%!PS\nshowpage\n";
        // With other-printer.ppd, a failed query would make the nickname refuse the job.
        test::Peer peer = test::start_peer(c.mode, CUPS_SC_STATUS_OK, job.device_id);
        const pid_t pid = start_gate(dir, job, peer, -1, -1);
        close(peer.fd);
        peer.fd = -1;
        EXPECT_TRUE(wait_for_text(dir.path() + "/" + c.ready_file, c.ready_text, kHangGuard));

        kill(pid, SIGTERM);
        if (c.backend_dies)
            kill(peer.pid, SIGKILL);
        int status = 0;
        EXPECT_TRUE(ended_within(pid, kHangGuard, &status)) << "still running long after the cancel";
        test::finish_peer(peer);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(test::read_file(dir.path() + "/out"), "");
        const std::string err = test::read_file(dir.path() + "/err");
        EXPECT_EQ(err.find("ERROR"), std::string::npos) << err;
    }
}

} // namespace
