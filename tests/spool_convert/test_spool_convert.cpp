// The spool-file routines and the re-rendering chain, against the real
// Ghostscript and the real CUPS filters pdftopdf and pdftops.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "spool_convert/spool_convert.h"
#include "tests/support/support.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const char kTwoPages[] =
    "%!PS\n/Helvetica findfont 24 scalefont setfont\n"
    "72 720 moveto (Page one) show showpage\n"
    "72 720 moveto (Page two) show showpage\n";

std::set<std::string> list_dir(const std::string &path)
{
    std::set<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..")
                names.insert(n);
        }
        closedir(d);
    }
    return names;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Pages that Ghostscript renders from a PostScript file.
int page_count(const std::string &path)
{
    // The bbox device writes one bounding box per page to standard error.
    test::TempDir dir;
    const std::string boxes = dir.path() + "/boxes";
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(boxes.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        execlp("gs", "gs", "-q", "-dBATCH", "-dNOPAUSE", "-dSAFER", "-sDEVICE=bbox", path.c_str(), nullptr);
        _exit(127);
    }
    waitpid(pid, nullptr, 0);
    int pages = 0;
    std::istringstream lines(test::read_file(boxes));
    for (std::string line; std::getline(lines, line);)
        pages += line.rfind("%%HiResBoundingBox", 0) == 0 ? 1 : 0;
    return pages;
}

// Every test gets a TMPDIR of its own, so what is left behind can be seen.
class SpoolTest : public testing::Test {
protected:
    void SetUp() override
    {
        mkdir(tmp_.c_str(), 0700);
        setenv("TMPDIR", tmp_.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("TMPDIR");
        unsetenv("CONTENT_TYPE");
    }

    // Runs fn with standard output on the file at path.
    template <typename Fn> void with_stdout(const std::string &path, Fn fn)
    {
        fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
        fn();
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }

    test::TempDir dir_;
    const std::string tmp_ = dir_.path() + "/tmp";
};

TEST_F(SpoolTest, StandardInputIsSpooledWholeIntoANamedTemporaryFile)
{
    const size_t sizes[] = {0, 3, 8192, 20000};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string data = test::random_bytes(size, static_cast<unsigned>(size) + 1);
        ASSERT_NE(freopen(dir_.write("stdin", data).c_str(), "rb", stdin), nullptr);
        char name[255] = {};
        CaptureStderr();
        Copy_StdinToTempFile(name);
        EXPECT_EQ(GetCapturedStderr(), "DEBUG:copying to temp print file \"" + std::string(name) + "\"\n");
        EXPECT_EQ(std::string(name).rfind(tmp_ + "/", 0), 0u) << name;
        EXPECT_TRUE(test::read_file(name) == data);
        unlink(name);
    }
}

TEST_F(SpoolTest, SpoolingReportsAMissingBufferOrTemporaryFolderAndMakesNoFile)
{
    CaptureStderr();
    Copy_StdinToTempFile(nullptr);
    EXPECT_EQ(GetCapturedStderr(), "DEBUG: Unable to find input file.\n");

    setenv("TMPDIR", (dir_.path() + "/no-such-folder").c_str(), 1);
    char name[255] = {};
    CaptureStderr();
    Copy_StdinToTempFile(name);
    EXPECT_EQ(GetCapturedStderr(), "DEBUG: Unable to creat temp file.\n");
    EXPECT_STREQ(name, "");
    EXPECT_TRUE(list_dir(tmp_).empty());
}

struct SendCase {
    const char *what;
    const char *path; // nullptr: no path; "" : the test's file
    std::string data;
    const char *out;  // where standard output goes; nullptr: a file
    std::string err;
    const char *before = ""; // printed through stdout just before the call, not flushed
};

TEST_F(SpoolTest, APrintFileIsSentWholeToStandardOutputOrTheFailureSaid)
{
    const std::string data = test::random_bytes(20000, 9);
    const SendCase cases[] = {
        {"a file", "", data, nullptr, "DEBUG:Successfully write print file to stdout.\n"},
        {"an empty file", "", "", nullptr, "DEBUG:Successfully write print file to stdout.\n"},
        {"no path", nullptr, "", nullptr, "DEBUG: Unable to find Print file.\n"},
        {"a missing file", "/no/such/print file", "", nullptr,
         "DEBUG:Unable open a print file \"/no/such/print file\"\n"},
        {"a full output", "", data, "/dev/full",
         "DEBUG: Unable to write print file to stdout,err is " + std::to_string(ENOSPC) + "\n"},
        {"a file after text still in stdout's buffer", "", data, nullptr,
         "DEBUG:Successfully write print file to stdout.\n", "%!PS a header without a line end, so still buffered "},
    };
    for (const SendCase &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = dir_.write("print file", c.data);
        const std::string out = c.out != nullptr ? c.out : dir_.path() + "/stdout";
        const char *path = c.path == nullptr ? nullptr : *c.path == '\0' ? in.c_str() : c.path;
        CaptureStderr();
        with_stdout(out, [&] {
            fputs(c.before, stdout);
            WritePrintFileToStdout(path);
            fflush(stdout);
        });
        EXPECT_EQ(GetCapturedStderr(), c.err);
        if (c.out == nullptr) {
            EXPECT_TRUE(test::read_file(out) == c.before + (c.path != nullptr && *c.path == '\0' ? c.data : ""))
                << test::read_file(out).substr(0, 40);
        }
    }
}

TEST_F(SpoolTest, OnlyALowerCasePdfInTheContentTypeMeansPdf)
{
    const struct {
        const char *type; // nullptr: unset
        int pdf;
    } cases[] = {
        {"application/pdf", 1},       {"application/vnd.cups-pdf", 1},
        {"application/postscript", 0}, {"application/PDF", 0},
        {nullptr, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.type != nullptr ? c.type : "unset");
        if (c.type != nullptr)
            setenv("CONTENT_TYPE", c.type, 1);
        else
            unsetenv("CONTENT_TYPE");
        CaptureStderr();
        EXPECT_EQ(is_pdf_content_type(), c.pdf);
        EXPECT_EQ(GetCapturedStderr(), std::string("CONTENT_TYPE = ") + (c.type ? c.type : "") + "\n");
    }
}

TEST_F(SpoolTest, PostScriptComesBackAsPostScriptOfTheSamePagesWhateverTheJobTextSays)
{
    const std::string folder = dir_.path() + "/a folder";
    mkdir(folder.c_str(), 0755);
    const std::string in = folder + "/in put.ps";
    const std::string out = folder + "/out put.ps";
    const std::string scratch = dir_.path() + "/scratch";
    mkdir(scratch.c_str(), 0755);
    std::ofstream(in) << kTwoPages;

    // Text that a shell would run or split, were one involved.
    const std::string trap = scratch + "/ran";
    const std::string title = "a \"quoted\" $(touch " + trap + "1) `touch " + trap + "2` back\\slash\n新 line";
    const std::string user = "o'brien $(touch " + trap + "3)";
    const std::string options = "job-name='$(touch " + trap + "4)' number-up=1";
    const char *args[] = {"queue $(touch /nonexistent)", "7", user.c_str(), title.c_str(), "1",
                          options.c_str()};

    CaptureStderr();
    const int result = pstopdf_ps(in.c_str(), out.c_str(), args);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(result, 1) << err;
    EXPECT_EQ(page_count(out), 2);
    EXPECT_FALSE(exists(in));
    for (const std::string &left : list_dir(tmp_))
        ADD_FAILURE() << "left behind: " << left << " " << test::read_file(tmp_ + "/" + left).substr(0, 80);
    EXPECT_TRUE(list_dir(scratch).empty()) << "the job's text was run";
}

TEST_F(SpoolTest, AnInputNamedLikeAGhostscriptDeviceOrSwitchIsOnlyEverReadAsAFile)
{
    // Relative names, as a caller working in its spool folder would pass them.
    const struct {
        const char *name;
        int result; // gs refuses any file whose name holds %pipe%
    } cases[] = {
        {"%pipe%touch ran", -1},
        {"%stdin", 1},
        {"-dNOSAFER", 1},
    };
    const char *args[] = {"q", "1", "user", "title", "1", ""};
    char here[PATH_MAX] = {};
    ASSERT_NE(getcwd(here, sizeof(here)), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir_.path() + "/out.ps";
        unlink(out.c_str());
        unlink("ran");
        std::ofstream(c.name) << kTwoPages;
        CaptureStderr();
        const int result = pstopdf_ps(c.name, out.c_str(), args);
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(result, c.result) << err;
        EXPECT_FALSE(exists("ran")) << "the input's name was run as a command";
        if (result == 1) {
            EXPECT_EQ(page_count(out), 2);
        }
        EXPECT_EQ(exists(c.name), result != 1);
        unlink(c.name);
    }
    EXPECT_EQ(chdir(here), 0);
}

TEST_F(SpoolTest, AJobTextOfManyKiBIsPassedOnWholeAndTheChainSucceeds)
{
    const std::string in = dir_.write("in.ps", kTwoPages);
    const std::string out = dir_.path() + "/out.ps";
    const std::string title(size_t{64} * 1024, 'T');
    const std::string options = "job-name=" + std::string(size_t{32} * 1024, 'n');
    const char *args[] = {"q", "1", "user", title.c_str(), "1", options.c_str()};
    CaptureStderr();
    const int result = pstopdf_ps(in.c_str(), out.c_str(), args);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(result, 1) << err.substr(0, 2000);
    EXPECT_EQ(page_count(out), 2);
    EXPECT_TRUE(list_dir(tmp_).empty());
}

struct ChainFailure {
    const char *what;
    std::string input;     // PostScript written to the input file
    const char *path;      // PATH while the chain runs; nullptr keeps it
    const char *tmpdir;    // nullptr keeps the test's own
    const char *serverbin; // CUPS_SERVERBIN while the chain runs; nullptr: unset
    std::string err;       // a line expected on standard error
};

TEST_F(SpoolTest, AFailedStageStopsTheChainKeepsInputAndOutputAndLeavesNoTemporaries)
{
    const std::string empty_bin = dir_.path() + "/bin";
    mkdir(empty_bin.c_str(), 0755);
    const ChainFailure cases[] = {
        {"gs missing from PATH", kTwoPages, empty_bin.c_str(), nullptr, nullptr,
         "DEBUG: Unable to excute gs to pdf,err is " + std::to_string(ENOENT) + "\n"},
        {"input that is not PostScript", "%!PS\n{ this is not closed\n", nullptr, nullptr, nullptr,
         "DEBUG: gs to pdf failed,exit status is 1\n"},
        {"no temporary folder", kTwoPages, nullptr, "/no/such/folder", nullptr,
         "DEBUG: Unable to creat tmp_pstopdf file.\n"},
        // pdftops finds its helpers there; pdftopdf needs none.
        {"pdftops failing", kTwoPages, nullptr, nullptr, "/no/such/folder",
         "DEBUG: pdftops failed,exit status is 1\n"},
    };
    const char *args[] = {"q", "1", "user", "title", "1", ""};
    const std::string saved_path = getenv("PATH");
    const std::string out = dir_.write("out.ps", "the output of an earlier run\n");
    for (const ChainFailure &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = dir_.write("in.ps", c.input);
        const std::set<std::string> before = list_dir(dir_.path());
        setenv("PATH", c.path != nullptr ? c.path : saved_path.c_str(), 1);
        setenv("TMPDIR", c.tmpdir != nullptr ? c.tmpdir : tmp_.c_str(), 1);
        if (c.serverbin != nullptr)
            setenv("CUPS_SERVERBIN", c.serverbin, 1);
        CaptureStderr();
        const int result = pstopdf_ps(in.c_str(), out.c_str(), args);
        const std::string err = GetCapturedStderr();
        setenv("PATH", saved_path.c_str(), 1);
        unsetenv("CUPS_SERVERBIN");
        EXPECT_EQ(result, -1);
        EXPECT_NE(err.find(c.err), std::string::npos) << err.substr(0, 2000);
        EXPECT_EQ(test::read_file(in), c.input);
        EXPECT_EQ(test::read_file(out), "the output of an earlier run\n");
        EXPECT_TRUE(list_dir(tmp_).empty());
        EXPECT_EQ(list_dir(dir_.path()), before) << "something was left beside the output";
    }
}

TEST_F(SpoolTest, OneFileAsBothInputAndOutputIsRefusedBeforeAnythingRuns)
{
    const std::string in = dir_.path() + "/in.ps";
    const std::string other = dir_.path() + "/other name.ps";
    const struct {
        const char *what;
        int (*make)(const char *, const char *); // makes the output's name; nullptr: none
        std::string out;
    } cases[] = {
        {"the same path", nullptr, in},
        {"another spelling", nullptr, dir_.path() + "/./in.ps"},
        {"a hard link", link, other},
        {"a symbolic link", symlink, other},
    };
    const char *args[] = {"q", "1", "user", "title", "1", ""};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(other.c_str());
        dir_.write("in.ps", kTwoPages);
        if (c.make != nullptr) {
            ASSERT_EQ(c.make(in.c_str(), other.c_str()), 0);
        }
        CaptureStderr();
        EXPECT_EQ(pstopdf_ps(in.c_str(), c.out.c_str(), args), -1);
        EXPECT_EQ(GetCapturedStderr(), "DEBUG: Illegal input parameter.\n");
        EXPECT_EQ(test::read_file(in), kTwoPages);
        EXPECT_TRUE(list_dir(tmp_).empty());
    }
}

TEST_F(SpoolTest, AMissingPathOrArgumentIsRefusedBeforeAnythingRuns)
{
    const std::string in = dir_.write("in.ps", kTwoPages);
    const char *args[] = {"q", "1", "user", "title", "1", ""};
    const char *holed[] = {"q", "1", "user", nullptr, "1", ""};
    const struct {
        const char *in;
        const char *out;
        const char *const *args;
    } cases[] = {
        {nullptr, "out.ps", args},
        {in.c_str(), nullptr, args},
        {in.c_str(), "out.ps", nullptr},
        {in.c_str(), "out.ps", holed},
    };
    for (const auto &c : cases) {
        CaptureStderr();
        EXPECT_EQ(pstopdf_ps(c.in, c.out, c.args), -1);
        EXPECT_EQ(GetCapturedStderr(), "DEBUG: Illegal input parameter.\n");
    }
    EXPECT_TRUE(list_dir(tmp_).empty());
    EXPECT_TRUE(exists(in));
}

} // namespace
