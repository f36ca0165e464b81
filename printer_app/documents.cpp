// PostScript and PDF documents: the gate, then the job's setup, then the
// document, PDF by way of the cups-filters programs.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

#include "common/child.h"
#include "printer_app/gate.h"
#include "printer_app/jobs.h"

namespace {

const char kPdfToPdf[] = "/usr/lib/cups/filter/pdftopdf";
const char kPdfToPs[] = "/usr/lib/cups/filter/pdftops";

// Large chunks: a big job then costs few system calls on either side.
const size_t kChunk = 1 << 20;

// Copies everything readable from fd to the device; false when the device
// failed, a read failed or the job was cancelled.
bool copy_to_device(pappl_job_t *job, int fd, pappl_device_t *device)
{
    // Too big for a job thread's stack.
    std::unique_ptr<char[]> buf(new char[kChunk]);
    for (;;) {
        if (papplJobIsCanceled(job))
            return false;
        const ssize_t n = read(fd, buf.get(), kChunk);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to read the document: %s",
                        strerror(errno));
            return false;
        }
        if (!jobs_write(device, buf.get(), static_cast<size_t>(n))) {
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to write to the printer.");
            return false;
        }
    }
}

bool write_prolog(pappl_job_t *job, const pappl_pr_options_t *options, bool copies,
                  pappl_device_t *device)
{
    char prolog[2048];
    if (!jobs_prolog(options, copies, prolog, sizeof(prolog))) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The job's setup does not fit its buffer.");
        return false;
    }
    static const char kHeader[] = "%!PS-Adobe-3.0\n";
    return jobs_write(device, kHeader, sizeof(kHeader) - 1) &&
           jobs_write(device, prolog, strlen(prolog));
}

// The options that pdftopdf and pdftops take, as a CUPS queue would pass them.
void filter_options(const pappl_pr_options_t *options, char *buf, size_t size)
{
    const char *sides = options->sides == PAPPL_SIDES_TWO_SIDED_LONG_EDGE    ? "two-sided-long-edge"
                        : options->sides == PAPPL_SIDES_TWO_SIDED_SHORT_EDGE ? "two-sided-short-edge"
                                                                             : "one-sided";
    const char *number_up = cupsGetOption("number-up", options->num_vendor,
                                          options->vendor);
    // Without a PPD the filters know sizes by their PPD names only.
    const pwg_media_t *pwg = pwgMediaForPWG(options->media.size_name);
    const bool ppd_name = pwg != nullptr && pwg->ppd != nullptr;
    int n = snprintf(buf, size, "%s=%s sides=%s number-up=%s", ppd_name ? "PageSize" : "media",
                     ppd_name ? pwg->ppd : options->media.size_name, sides,
                     number_up != nullptr ? number_up : "1");
    if (n > 0 && static_cast<size_t>(n) < size && options->first_page > 0 &&
        options->last_page >= options->first_page && options->last_page < 0x7fffffff)
        snprintf(buf + n, size - static_cast<size_t>(n), " page-ranges=%u-%u", options->first_page,
                 options->last_page);
}

// Reaps a filter and says whether it ended well.
bool filter_ended_well(pappl_job_t *job, pid_t pid, const char *name)
{
    const int status = wait_child(pid);
    if (status == 0)
        return true;
    if (WIFSIGNALED(status))
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s was killed by signal %d.", name, WTERMSIG(status));
    else
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s exited with status %d.", name,
                    WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return false;
}

// Ends the filters of a job that will not print; they are reaped after.
void stop_filters(pid_t first, pid_t second)
{
    if (first >= 0)
        kill(first, SIGTERM);
    if (second >= 0)
        kill(second, SIGTERM);
}

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

} // namespace

bool jobs_print_postscript(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device)
{
    DeviceIdQuery query;
    if (!gate_admit(job, device, query))
        return false;

    const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open the document: %s", strerror(errno));
        return false;
    }
    const bool ok = write_prolog(job, options, true, device) && copy_to_device(job, fd, device);
    close(fd);
    return ok;
}

bool jobs_print_pdf(pappl_job_t *job, pappl_device_t *device, void *data)
{
    (void)data;
    pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
    if (options == nullptr)
        return false;

    char job_id[32], copies[32], opts[512];
    snprintf(job_id, sizeof(job_id), "%d", papplJobGetID(job));
    snprintf(copies, sizeof(copies), "%d", options->copies > 0 ? options->copies : 1);
    filter_options(options, opts, sizeof(opts));
    const char *user = papplJobGetUsername(job);
    const char *title = papplJobGetName(job);
    if (user == nullptr)
        user = "anonymous";
    if (title == nullptr)
        title = "";
    // Each value is one word of the filter's argument list; no shell reads it.
    const char *const pdftopdf[] = {kPdfToPdf, job_id, user,    title,
                                    copies,    opts,   papplJobGetFilename(job), nullptr};
    // pdftopdf has made the copies already.
    const char *const pdftops[] = {kPdfToPs, job_id, user, title, "1", opts, nullptr};

    int between[2] = {-1, -1}, out[2] = {-1, -1};
    pid_t first = -1, second = -1;
    bool ok = false, refused = false;
    if (pipe2(between, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0) {
        first = start_child(pdftopdf, -1, between[1]);
        if (first < 0)
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to run %s: %s", kPdfToPdf, strerror(errno));
        close_fd(&between[1]);
        if (first >= 0) {
            second = start_child(pdftops, between[0], out[1]);
            if (second < 0)
                papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to run %s: %s", kPdfToPs, strerror(errno));
        }
        close_fd(&between[0]);
        close_fd(&out[1]);
        // The conversion runs while the gate decides; nothing reaches the
        // device before it has. A refused job's filters are stopped.
        DeviceIdQuery query;
        refused = !gate_admit(job, device, query);
        if (refused)
            stop_filters(first, second);
        else if (second >= 0)
            ok = write_prolog(job, options, false, device) && copy_to_device(job, out[0], device);
    } else {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to make a pipe: %s", strerror(errno));
    }
    // Closing our end first lets a filter that still writes end on SIGPIPE
    // when we stopped early.
    close_fd(&out[0]);
    close_fd(&out[1]);
    close_fd(&between[0]);
    close_fd(&between[1]);
    if (refused) {
        // Stopped on purpose: the refusal is the job's message.
        if (first >= 0)
            wait_child(first);
        if (second >= 0)
            wait_child(second);
    } else {
        if (first >= 0 && !filter_ended_well(job, first, "pdftopdf"))
            ok = false;
        if (second >= 0 && !filter_ended_well(job, second, "pdftops"))
            ok = false;
    }
    papplJobDeletePrintOptions(options);
    return ok;
}
