// The operating-system check and the printer identification, run against the
// real libcups: a stand-in cat on PATH, a side-channel peer on descriptor 4
// and PPD files of our own.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "checks/checks.h"
#include "tests/support/support.h"

namespace {

using namespace std::string_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Restores PATH, PPD and descriptor 4 after each test.
class ChecksTest : public testing::Test {
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

    // Runs the check with PATH holding only a cat that prints banner.
    bool check_banner(const std::string &banner, std::string *err)
    {
        test::install_fake_cat(dir_, banner);
        setenv("PATH", dir_.path().c_str(), 1);
        CaptureStderr();
        bool supported = isSupportSystem();
        *err = GetCapturedStderr();
        return supported;
    }

    test::TempDir dir_;
    std::string saved_path_;
};

struct BannerCase {
    const char *what;
    std::string banner;
    bool supported;
};

TEST_F(ChecksTest, BannersAreJudgedByTheirFirst1024BytesWithExactCase)
{
    const std::string debian_at_end = std::string(1024 - 6, 'x') + "Debian";
    const BannerCase cases[] = {
        {"Debian anywhere", "Welcome to Debian GNU/Linux 12 \\n \\l\n\n", true},
        {"Kernel anywhere", "Kernel \\r on an \\m\n", true},
        {"Astra Linux", "Astra Linux 1.7 (Smolensk)\n", true},
        {"lower-case debian", "debian gnu/linux\n", false},
        {"another system", "Ubuntu 22.04.3 LTS \\n \\l\n", false},
        {"empty banner", "", false},
        {"name past the first 1024 bytes", std::string(1024, 'x') + "Debian\n", false},
        {"name in the last bytes of exactly 1024", debian_at_end, true},
        {"name after a NUL byte", "Ubuntu\0Debian\n"s, false},
        {"name before a NUL byte", "Debian\0Ubuntu\n"s, true},
    };
    for (const BannerCase &c : cases) {
        SCOPED_TRACE(c.what);
        std::string err;
        EXPECT_EQ(check_banner(c.banner, &err), c.supported);
        // The banner is text: it ends at its first NUL byte, if any.
        const std::string text = c.banner.substr(0, 1024);
        EXPECT_EQ(err, "SystemInfo: " + text.substr(0, text.find('\0')) + "\n");
    }
}

TEST_F(ChecksTest, AMissingCatFailsTheCheckWithTheErrnoOfTheExec)
{
    setenv("PATH", dir_.path().c_str(), 1);
    CaptureStderr();
    EXPECT_FALSE(isSupportSystem());
    EXPECT_EQ(GetCapturedStderr(),
              "getSystemInfo: Unable to excute cat program.err is " + std::to_string(ENOENT) +
                  "\nSystemInfo: \n");
}

TEST_F(ChecksTest, ALongBannerNeitherHangsTheCheckNorLeavesAChildOrDescriptor)
{
    const int fds_before = test::count_open_fds();
    std::string err;
    // Far more than a pipe holds: cat must be stopped, not waited on forever.
    EXPECT_TRUE(check_banner("Debian " + std::string(4 << 20, 'y'), &err));
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

TEST_F(ChecksTest, TheDeviceIdQueryAcceptsOnlyANonEmptyOkReply)
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

TEST_F(ChecksTest, TheDeviceIdQueryWithoutABackendFailsAtOnce)
{
    char buffer[512] = "stale";
    int len = sizeof(buffer) - 1;
    CaptureStderr();
    close(CUPS_SC_FD);
    EXPECT_FALSE(query1284info(buffer, &len));
    EXPECT_EQ(GetCapturedStderr(), "cups api can't find 1284 information.\n");
    EXPECT_STREQ(buffer, "");
}

struct PrinterCase {
    const char *what;
    const char *device_id; // nullptr: no device ID was received
    const char *ppd;       // fixture name; nullptr: PPD unset
    bool supported;
    const char *err;
};

TEST_F(ChecksTest, TheTableDecidesWhenADeviceIdCameAndTheNicknameOtherwise)
{
    const PrinterCase cases[] = {
        {"row 0 alone", "MFG:Quovel;MDL:R4410KX series;CLS:PRINTER;", nullptr, true, ""},
        {"row 1 alone", "MFG:Quovel;MDL:L8120KX series;CLS:PRINTER;", nullptr, true, ""},
        {"row 0 with pairs between and after",
         "MFG:Quovel;CMD:PS,PCL;MDL:R4410KX series;CLS:PRINTER;DES:Quovel R4410KX;", nullptr, true, ""},
        {"model in capitals", "MFG:Quovel;MDL:R4410KX SERIES;CLS:PRINTER;", nullptr, false, ""},
        {"no class pair", "MFG:Quovel;MDL:R4410KX series;", nullptr, false, ""},
        {"another class", "MFG:Quovel;MDL:R4410KX series;CLS:SCANNER;", nullptr, false, ""},
        {"unknown device, supported nickname not consulted", "MFG:Other;MDL:X1;CLS:PRINTER;",
         "r4410kx.ppd", false, ""},
        {"no device ID, first nickname", nullptr, "r4410kx.ppd", true,
         "attr->value :R4410KX Series PS.\n"},
        {"no device ID, second nickname", nullptr, "l8120kx.ppd", true,
         "attr->value :L8120KX Series PS.\n"},
        {"no device ID, nickname in lower case", nullptr, "r4410kx-lowercase.ppd", true,
         "attr->value :r4410kx series ps.\n"},
        {"no device ID, nickname with more after it", nullptr, "r4410kx-suffix.ppd", false,
         "attr->value :R4410KX Series PS Plus.\n"},
        {"no device ID, another nickname", nullptr, "other-printer.ppd", false,
         "attr->value :Other Laser PS.\n"},
        {"no device ID, PPD without a nickname", nullptr, "no-nickname.ppd", false, ""},
        {"no device ID, PPD missing", nullptr, "does-not-exist.ppd", false, ""},
        {"no device ID, PPD unset", nullptr, nullptr, false, ""},
    };
    for (const PrinterCase &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.ppd != nullptr)
            setenv("PPD", (std::string(PPD_DIR) + "/" + c.ppd).c_str(), 1);
        else
            unsetenv("PPD");
        const int fds_before = test::count_open_fds();
        CaptureStderr();
        EXPECT_EQ(isSupportPrinter(c.device_id != nullptr ? c.device_id : "", c.device_id != nullptr),
                  c.supported);
        EXPECT_EQ(GetCapturedStderr(), c.err);
        EXPECT_EQ(test::count_open_fds(), fds_before) << "the PPD was left open";
    }
}

TEST_F(ChecksTest, ADeviceIdIsMatchedAsTheTextBeforeItsFirstNulWhateverItsBytes)
{
    const struct {
        const char *what;
        std::string reply;
        bool supported;
    } cases[] = {
        {"NUL before the model", "MFG:Quovel;\0MDL:R4410KX series;CLS:PRINTER;"s, false},
        {"NUL after the class", "MFG:Quovel;MDL:R4410KX series;CLS:PRINTER;\0junk"s, true},
        {"invalid UTF-8 around the pairs", "\xff\xfe\xc3MFG:Quovel;MDL:L8120KX series;CLS:PRINTER;\x80", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        test::Peer peer = test::start_peer(test::PeerMode::Answer, CUPS_SC_STATUS_OK, c.reply);
        ASSERT_EQ(dup2(peer.fd, CUPS_SC_FD), CUPS_SC_FD);
        char buffer[512];
        int len = sizeof(buffer) - 1;
        EXPECT_TRUE(query1284info(buffer, &len));
        EXPECT_EQ(len, static_cast<int>(c.reply.size()));
        EXPECT_EQ(isSupportPrinter(buffer, true), c.supported);
        close(CUPS_SC_FD);
        test::finish_peer(peer);
    }
}

TEST_F(ChecksTest, APpdThatIsNoPpdAdmitsNothingAndALargeOneStillNamesItsModel)
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
        CaptureStderr();
        EXPECT_EQ(isSupportPrinter("", false), c.supported);
        GetCapturedStderr();
        EXPECT_EQ(test::count_open_fds(), fds_before);
    }
}

} // namespace
