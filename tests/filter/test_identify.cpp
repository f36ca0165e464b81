// What the filter finds out for the admission decision, run against the real
// libcups: a stand-in cat on PATH, a side-channel peer on descriptor 4 and PPD
// files of our own.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "filter/identify.h"
#include "tests/support/support.h"

namespace {

using namespace std::string_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Restores PATH, PPD and descriptor 4 after each test.
class IdentifyTest : public testing::Test {
protected:
    void SetUp() override
    {
        saved_path_ = getenv("PATH");
        // Keep descriptor 4 taken, so that capturing stderr can't land on it
        // and pose as a backend.
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, CUPS_SC_FD);
        close(null_fd);
    }
    void TearDown() override
    {
        setenv("PATH", saved_path_.c_str(), 1);
        unsetenv("PPD");
        close(CUPS_SC_FD);
    }

    // The decision with PATH holding only a cat that prints banner, and the
    // device ID (null: none) and PPD fixture (null: PPD unset) given.
    Admission judge(const std::string &banner, const std::string *device_id, const char *ppd,
                    std::string *err)
    {
        test::install_fake_cat(dir_, banner);
        setenv("PATH", dir_.path().c_str(), 1);
        if (ppd != nullptr)
            setenv("PPD", (std::string(PPD_DIR) + "/" + ppd).c_str(), 1);
        else
            unsetenv("PPD");
        test::Peer peer = test::start_peer(device_id != nullptr ? test::PeerMode::Answer
                                                                : test::PeerMode::HangUp,
                                           CUPS_SC_STATUS_OK, device_id != nullptr ? *device_id : "");
        dup2(peer.fd, CUPS_SC_FD);
        CaptureStderr();
        const Admission verdict = judge_job();
        *err = GetCapturedStderr();
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, CUPS_SC_FD);
        close(null_fd);
        test::finish_peer(peer);
        return verdict;
    }

    // The banner as getSystemInfo reads it through a cat that prints banner.
    std::string read_banner(const std::string &banner, std::string *err)
    {
        test::install_fake_cat(dir_, banner);
        setenv("PATH", dir_.path().c_str(), 1);
        char text[1024 + 1];
        CaptureStderr();
        getSystemInfo(text, sizeof(text));
        *err = GetCapturedStderr();
        return text;
    }

    test::TempDir dir_;
    std::string saved_path_;
};

struct BannerCase {
    const char *what;
    std::string banner;
    std::string read;
};

TEST_F(IdentifyTest, TheBannerIsTheFirst1024BytesOfIssueUpToANul)
{
    const std::string exactly_1024 = std::string(1024 - 6, 'x') + "Debian";
    const BannerCase cases[] = {
        {"a short banner", "Welcome to Debian GNU/Linux 12 \\n \\l\n\n",
         "Welcome to Debian GNU/Linux 12 \\n \\l\n\n"},
        {"empty banner", "", ""},
        {"past the first 1024 bytes", std::string(1024, 'x') + "Debian\n", std::string(1024, 'x')},
        {"exactly 1024 bytes", exactly_1024, exactly_1024},
        {"a NUL byte", "Ubuntu\0Debian\n"s, "Ubuntu"},
    };
    for (const BannerCase &c : cases) {
        SCOPED_TRACE(c.what);
        std::string err;
        EXPECT_EQ(read_banner(c.banner, &err), c.read);
        EXPECT_EQ(err, "SystemInfo: " + c.read + "\n");
    }
}

TEST_F(IdentifyTest, AMissingCatFailsTheCheckWithTheErrnoOfTheExec)
{
    setenv("PATH", dir_.path().c_str(), 1);
    char text[1024 + 1] = "stale";
    CaptureStderr();
    getSystemInfo(text, sizeof(text));
    EXPECT_STREQ(text, "");
    EXPECT_EQ(GetCapturedStderr(),
              "getSystemInfo: Unable to excute cat program.err is " + std::to_string(ENOENT) +
                  "\nSystemInfo: \n");
}

TEST_F(IdentifyTest, ALongBannerNeitherHangsTheCheckNorLeavesAChildOrDescriptor)
{
    const int fds_before = test::count_open_fds();
    std::string err;
    // Far more than a pipe holds: cat must be stopped, not waited on forever.
    EXPECT_EQ(read_banner("Debian " + std::string(4 << 20, 'y'), &err).substr(0, 7), "Debian ");
    EXPECT_EQ(test::count_open_fds(), fds_before);
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

struct QueryCase {
    const char *what;
    test::PeerMode mode;
    cups_sc_status_t status;
    std::string reply;
    bool got;
};

TEST_F(IdentifyTest, TheDeviceIdQueryAcceptsOnlyANonEmptyOkReply)
{
    const std::string id = "MFG:Quovel;MDL:R4410KX series;CLS:PRINTER;";
    const std::string full(511, 'D');
    const QueryCase cases[] = {
        {"ok with a device ID", test::PeerMode::Answer, CUPS_SC_STATUS_OK, id, true},
        {"ok with the full 511 bytes", test::PeerMode::Answer, CUPS_SC_STATUS_OK, full, true},
        {"ok with no data", test::PeerMode::Answer, CUPS_SC_STATUS_OK, "", false},
        {"not implemented", test::PeerMode::Answer, CUPS_SC_STATUS_NOT_IMPLEMENTED, "", false},
        {"device did not respond", test::PeerMode::Answer, CUPS_SC_STATUS_NO_RESPONSE, id, false},
        {"I/O error", test::PeerMode::Answer, CUPS_SC_STATUS_IO_ERROR, "", false},
        {"reply larger than the buffer", test::PeerMode::Answer, CUPS_SC_STATUS_OK,
         std::string(600, 'D'), false},
        {"peer hangs up", test::PeerMode::HangUp, CUPS_SC_STATUS_NONE, "", false},
        {"peer hangs up halfway through its reply", test::PeerMode::HalfReply, CUPS_SC_STATUS_OK, id, false},
        {"reply to another command", test::PeerMode::WrongCommand, CUPS_SC_STATUS_OK, id, false},
    };
    for (const QueryCase &c : cases) {
        SCOPED_TRACE(c.what);
        test::Peer peer = test::start_peer(c.mode, c.status, c.reply);
        ASSERT_EQ(dup2(peer.fd, CUPS_SC_FD), CUPS_SC_FD);

        char buffer[512];
        memset(buffer, 'Z', sizeof(buffer));
        int len = sizeof(buffer) - 1;
        CaptureStderr();
        const bool got = query1284info(buffer, &len);
        const std::string err = GetCapturedStderr();
        close(CUPS_SC_FD);

        EXPECT_EQ(test::finish_peer(peer), CUPS_SC_CMD_GET_DEVICE_ID);
        EXPECT_EQ(got, c.got);
        EXPECT_EQ(std::string(buffer), c.got ? c.reply.c_str() : "");
        EXPECT_EQ(err, c.got ? "" : "cups api can't find 1284 information.\n");
    }
}

TEST_F(IdentifyTest, TheDeviceIdQueryWithoutABackendFailsAtOnce)
{
    char buffer[512] = "stale";
    int len = sizeof(buffer) - 1;
    CaptureStderr();
    close(CUPS_SC_FD);
    EXPECT_FALSE(query1284info(buffer, &len));
    EXPECT_EQ(GetCapturedStderr(), "cups api can't find 1284 information.\n");
    EXPECT_STREQ(buffer, "");
}

struct JudgeCase {
    const char *what;
    const char *banner;
    const char *device_id; // nullptr: the backend hangs up
    const char *ppd;       // fixture name; nullptr: PPD unset
    Admission verdict;
    const char *err;       // after the SystemInfo line
};

TEST_F(IdentifyTest, EachFactIsAskedOnlyWhenTheDecisionStillNeedsIt)
{
    const char *debian = "Debian GNU/Linux 12";
    const char *r4410 = "MFG:Quovel;CMD:PS,PCL;MDL:R4410KX series;CLS:PRINTER;DES:Quovel R4410KX;";
    const char *no_id = "cups api can't find 1284 information.\n";
    const JudgeCase cases[] = {
        {"another system: the printer is not asked", "Ubuntu 22.04", r4410, "r4410kx.ppd",
         Admission::RefuseSystem, ""},
        {"a supported device ID", debian, r4410, nullptr, Admission::Admit, ""},
        {"an unknown device, supported nickname not consulted", debian,
         "MFG:Other;MDL:X1;CLS:PRINTER;", "r4410kx.ppd", Admission::RefusePrinter, ""},
        {"no device ID, second nickname", debian, nullptr, "l8120kx.ppd", Admission::Admit,
         "attr->value :L8120KX Series PS.\n"},
        {"no device ID, nickname in lower case", debian, nullptr, "r4410kx-lowercase.ppd",
         Admission::Admit, "attr->value :r4410kx series ps.\n"},
        {"no device ID, nickname with more after it", debian, nullptr, "r4410kx-suffix.ppd",
         Admission::RefusePrinter, "attr->value :R4410KX Series PS Plus.\n"},
        {"no device ID, another nickname", debian, nullptr, "other-printer.ppd",
         Admission::RefusePrinter, "attr->value :Other Laser PS.\n"},
        {"no device ID, PPD without a nickname", debian, nullptr, "no-nickname.ppd",
         Admission::RefusePrinter, ""},
        {"no device ID, PPD missing", debian, nullptr, "does-not-exist.ppd",
         Admission::RefusePrinter, ""},
        {"no device ID, PPD unset", debian, nullptr, nullptr, Admission::RefusePrinter, ""},
    };
    for (const JudgeCase &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string id = c.device_id != nullptr ? c.device_id : "";
        const int fds_before = test::count_open_fds();
        std::string err;
        EXPECT_EQ(judge(c.banner, c.device_id != nullptr ? &id : nullptr, c.ppd, &err), c.verdict);
        const bool asked_printer = c.verdict != Admission::RefuseSystem;
        EXPECT_EQ(err, "SystemInfo: " + std::string(c.banner) + "\n" +
                           (asked_printer && c.device_id == nullptr ? no_id : "") + c.err);
        EXPECT_EQ(test::count_open_fds(), fds_before) << "the PPD was left open";
    }
}

TEST_F(IdentifyTest, ADeviceIdIsMatchedAsTheTextBeforeItsFirstNulWhateverItsBytes)
{
    const struct {
        const char *what;
        std::string reply;
        Admission verdict;
    } cases[] = {
        {"NUL before the model", "MFG:Quovel;\0MDL:R4410KX series;CLS:PRINTER;"s, Admission::RefusePrinter},
        {"NUL after the class", "MFG:Quovel;MDL:R4410KX series;CLS:PRINTER;\0junk"s, Admission::Admit},
        {"invalid UTF-8 around the pairs", "\xff\xfe\xc3MFG:Quovel;MDL:L8120KX series;CLS:PRINTER;\x80",
         Admission::Admit},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string err;
        // The supported nickname would admit the job, were the device ID not taken.
        EXPECT_EQ(judge("Debian", &c.reply, "r4410kx.ppd", &err), c.verdict);
        EXPECT_EQ(err, "SystemInfo: Debian\n");
    }
}

TEST_F(IdentifyTest, APpdThatIsNoPpdNamesNoModelAndALargeOneStillNamesItsOwn)
{
    std::string large = test::read_file(std::string(PPD_DIR) + "/r4410kx.ppd");
    for (int i = 0; i < 100000; ++i)
        large += "*% A comment line that only makes the file larger than most PPDs.\n";
    mkdir((dir_.path() + "/a-folder.ppd").c_str(), 0755);
    const struct {
        const char *what;
        std::string path;
        bool supported;
    } cases[] = {
        {"a folder", dir_.path() + "/a-folder.ppd", false},
        {"binary garbage", dir_.write("garbage.ppd", test::random_bytes(65536, 3)), false},
        {"an empty file", dir_.write("empty.ppd", ""), false},
        {"several MiB", dir_.write("large.ppd", large), true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        setenv("PPD", c.path.c_str(), 1);
        const int fds_before = test::count_open_fds();
        char name[256] = "";
        CaptureStderr();
        EXPECT_EQ(getShortNickName(name, sizeof(name)) && strcmp(name, "R4410KX Series PS") == 0,
                  c.supported);
        GetCapturedStderr();
        EXPECT_EQ(test::count_open_fds(), fds_before);
    }
}

} // namespace
