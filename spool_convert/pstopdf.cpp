// Re-rendering a PostScript file through PDF: Ghostscript's pdfwrite, then the
// CUPS filters pdftopdf and pdftops with the job's arguments. Each stage runs
// without a shell, so nothing in a title, user name, option or path can change
// what runs.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

// Makes an empty temporary file and keeps only its name.
bool make_temp(char *name, size_t size, const char *error)
{
    const int fd = cupsTempFd(name, static_cast<int>(size));
    if (fd < 0) {
        fputs(error, stderr);
        return false;
    }
    close(fd);
    return true;
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

// Runs one stage with standard input empty and standard output on the file
// out_path (or on standard error when out_path is null: a stage's chatter must
// never join the caller's standard output, which may be print data).
bool run_stage(const Stage &stage, const char *const argv[], const char *out_path)
{
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = out_path != nullptr
                        ? open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                        : STDERR_FILENO;
    int status = -1;
    if (in >= 0 && out >= 0)
        status = run_child(argv, in, out);
    const int saved = errno;
    if (in >= 0)
        close(in);
    if (out >= 0 && out != STDERR_FILENO)
        close(out);

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
    memset(gs_input, 0, sizeof(gs_input));
    if (input == nullptr || output == nullptr || !args_present ||
        !gs_file_name(input, gs_input, sizeof(gs_input))) {
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

    if (!make_temp(tmp_pstopdf, sizeof(tmp_pstopdf), "DEBUG: Unable to creat tmp_pstopdf file.\n"))
        return -1;

    const char *const gs[] = {"gs", "-o", tmp_pstopdf, "-q", "-dBATCH", "-dQUIET", "-dPARANOIDSAFER",
                              "-dNOPAUSE", "-dNOINTERPOLATE", "-dNOMEDIAATTRS", "-dUseFastColor",
                              "-sDEVICE=pdfwrite", "-f", gs_input, nullptr};
    if (!run_stage(kGs, gs, nullptr)) {
        unlink(tmp_pstopdf);
        return -1;
    }

    if (!make_temp(tmp_pdftopdf_file, sizeof(tmp_pdftopdf_file),
                   "DEBUG: Unable to creat tmp_pdftopdf_file file.\n")) {
        unlink(tmp_pstopdf);
        return -1;
    }

    const char *const pdftopdf[] = {kPdfToPdf, job[1], job[2], job[3], job[4], job[5], tmp_pstopdf, nullptr};
    const char *const pdftops[] = {kPdfToPs, job[1], job[2], job[3], job[4], job[5], tmp_pdftopdf_file, nullptr};
    const bool rendered = run_stage(kPdfToPdfStage, pdftopdf, tmp_pdftopdf_file) &&
                          run_stage(kPdfToPsStage, pdftops, output);

    unlink(tmp_pstopdf);
    unlink(tmp_pdftopdf_file);
    if (!rendered)
        return -1;
    unlink(input);
    return 1;
}
