// Re-rendering a PostScript file through PDF: Ghostscript's pdfwrite, then the
// CUPS filters pdftopdf and pdftops with the job's arguments. Each stage runs
// without a shell, so nothing in a title, user name, option or path can change
// what runs.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cups/cups.h>

#include "common/child.h"
#include "spool_convert/spool_convert.h"

namespace {

const char kPdfToPdf[] = "/usr/lib/cups/filter/pdftopdf";
const char kPdfToPs[] = "/usr/lib/cups/filter/pdftops";

// A stage's name in our messages, and what is said when it can't start.
struct Stage {
    const char *name;
    const char *start_error; // printf format taking errno
};

const Stage kGs = {"gs to pdf", "DEBUG: Unable to excute gs to pdf,err is %d\n"};
const Stage kPdfToPdfStage = {"pdftopdf", "DEBUG: Unable to excute pdftopdf,err is %d\n"};
const Stage kPdfToPsStage = {"pdftops", "DEBUG: Unable to excute pdftops,err is %d\n"};

// Makes an empty temporary file and returns its descriptor, or -1.
int make_temp(char *name, size_t size, const char *error)
{
    const int fd = cupsTempFd(name, static_cast<int>(size));
    if (fd < 0) {
        fputs(error, stderr);
        return -1;
    }
    // Close-on-exec, so that no stage inherits another's file.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

// True when both names exist and are one file, whatever their spelling.
bool same_file(const char *a, const char *b)
{
    struct stat sa;
    struct stat sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Makes the file that pdftops writes: beside the output, so that a rename
// puts it in place at once, and with the mode the output has or, for a new
// output, would get. Returns its descriptor, or -1.
int make_output_temp(const char *output, char *name)
{
    const int fd = mkostemp(name, O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "DEBUG: Unable to creat temp file beside \"%s\",err is %d\n", output, errno);
        return -1;
    }
    struct stat st;
    mode_t mode = 0;
    if (stat(output, &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        // The library runs in single-threaded filters; reading the umask
        // means setting it, for a moment.
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    return fd;
}

// Ghostscript takes a name that begins with % as one of its own devices
// (%pipe% runs a command, whatever -dSAFER says) and one that begins with -
// as a switch. A relative name starting ./ can only be a file. False when the
// name doesn't fit.
bool gs_file_name(const char *path, char *name, size_t size)
{
    const int n = snprintf(name, size, "%s%s", path[0] == '/' ? "" : "./", path);
    return n >= 0 && static_cast<size_t>(n) < size;
}

// Runs one stage with standard input empty and standard output on out (or on
// standard error when out is -1: a stage's chatter must never join the
// caller's standard output, which may be print data).
bool run_stage(const Stage &stage, const char *const argv[], int out)
{
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int status = -1;
    if (in >= 0)
        status = run_child(argv, in, out >= 0 ? out : STDERR_FILENO);
    const int saved = errno;
    if (in >= 0)
        close(in);

    if (status < 0) {
        fprintf(stderr, stage.start_error, saved);
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    if (WIFSIGNALED(status))
        fprintf(stderr, "DEBUG: %s failed,signal is %d\n", stage.name, WTERMSIG(status));
    else
        fprintf(stderr, "DEBUG: %s failed,exit status is %d\n", stage.name, WEXITSTATUS(status));
    return false;
}

} // namespace

int pstopdf_ps(const char *input, const char *output, const char *const *args)
{
    bool args_present = args != nullptr;
    for (int i = 1; args_present && i <= 5; ++i)
        args_present = args[i] != nullptr;
    char gs_input[PATH_MAX + 2];
    char out_temp[PATH_MAX + 8];
    memset(gs_input, 0, sizeof(gs_input));
    memset(out_temp, 0, sizeof(out_temp));
    // An output that is the input would destroy the job: written over while
    // it is read, then removed as done.
    if (input == nullptr || output == nullptr || !args_present ||
        !gs_file_name(input, gs_input, sizeof(gs_input)) || same_file(input, output) ||
        snprintf(out_temp, sizeof(out_temp), "%s.XXXXXX", output) >= static_cast<int>(sizeof(out_temp))) {
        fputs("DEBUG: Illegal input parameter.\n", stderr);
        return -1;
    }
    // Element 0, the queue's name, is never handed to a stage.
    const char *job[6];
    memcpy(job, args, sizeof(job));

    char tmp_pstopdf[512];
    char tmp_pdftopdf_file[512];
    memset(tmp_pstopdf, 0, sizeof(tmp_pstopdf));
    memset(tmp_pdftopdf_file, 0, sizeof(tmp_pdftopdf_file));

    const int pstopdf_fd = make_temp(tmp_pstopdf, sizeof(tmp_pstopdf), "DEBUG: Unable to creat tmp_pstopdf file.\n");
    if (pstopdf_fd < 0)
        return -1;
    close(pstopdf_fd); // gs writes it by name

    const char *const gs[] = {"gs", "-o", tmp_pstopdf, "-q", "-dBATCH", "-dQUIET", "-dPARANOIDSAFER",
                              "-dNOPAUSE", "-dNOINTERPOLATE", "-dNOMEDIAATTRS", "-dUseFastColor",
                              "-sDEVICE=pdfwrite", "-f", gs_input, nullptr};
    if (!run_stage(kGs, gs, -1)) {
        unlink(tmp_pstopdf);
        return -1;
    }

    const int pdftopdf_fd = make_temp(tmp_pdftopdf_file, sizeof(tmp_pdftopdf_file),
                                      "DEBUG: Unable to creat tmp_pdftopdf_file file.\n");
    if (pdftopdf_fd < 0) {
        unlink(tmp_pstopdf);
        return -1;
    }
    const char *const pdftopdf[] = {kPdfToPdf, job[1], job[2], job[3], job[4], job[5], tmp_pstopdf, nullptr};
    bool rendered = run_stage(kPdfToPdfStage, pdftopdf, pdftopdf_fd);
    close(pdftopdf_fd);

    // pdftops writes beside the output, which changes only once it is done:
    // a failed run leaves the output as it was.
    if (rendered) {
        const int out_fd = make_output_temp(output, out_temp);
        const char *const pdftops[] = {kPdfToPs, job[1], job[2], job[3], job[4], job[5], tmp_pdftopdf_file,
                                       nullptr};
        rendered = out_fd >= 0 && run_stage(kPdfToPsStage, pdftops, out_fd);
        if (out_fd >= 0 && close(out_fd) != 0 && rendered) {
            fprintf(stderr, "DEBUG: Unable to write \"%s\",err is %d\n", out_temp, errno);
            rendered = false;
        }
        if (rendered && rename(out_temp, output) != 0) {
            fprintf(stderr, "DEBUG: Unable to rename temp file to \"%s\",err is %d\n", output, errno);
            rendered = false;
        }
        if (!rendered && out_fd >= 0)
            unlink(out_temp);
    }

    unlink(tmp_pstopdf);
    unlink(tmp_pdftopdf_file);
    if (!rendered)
        return -1;
    unlink(input);
    return 1;
}
