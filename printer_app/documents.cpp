// PostScript and PDF documents: the gate, then the job's setup, then the
// document, PDF by way of the cups-filters programs.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/child.h"
#include "printer_app/gate.h"
#include "printer_app/jobs.h"
#include "printer_app/pages.h"
#include "printer_app/status.h"

int jobs_conversion_seconds = 900;

namespace {

void nap_ms(long ms)
{
    const timespec t{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

const char kPdfToPdf[] = "/usr/lib/cups/filter/pdftopdf";
const char kPdfToPs[] = "/usr/lib/cups/filter/pdftops";

long now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

// What a job has sent to the device, told to PAPPL as its pages go out.
struct Sent {
    pappl_job_t *job;
    // Impressions each page of the stream makes: the copies that the printer
    // makes of it.
    long repeat;
    bool two_sided;
    // At most this many of the stream's pages count; -1 for no bound.
    long limit;
    DscPages stream;
    long impressions = 0, sheets = 0; // told to PAPPL so far

    Sent(pappl_job_t *j, long r, bool two, long l) : job(j), repeat(r), two_sided(two), limit(l) {}

    // The stream's first `pages` pages have gone out.
    void tell(long pages)
    {
        if (limit >= 0 && pages > limit)
            pages = limit;
        const long now_impressions = pages * repeat;
        const long now_sheets = jobs_sheets(pages, repeat, two_sided);
        if (now_impressions > impressions && now_impressions <= INT_MAX) {
            papplJobSetImpressionsCompleted(job, static_cast<int>(now_impressions - impressions));
            impressions = now_impressions;
        }
        if (now_sheets > sheets && now_sheets <= INT_MAX) {
            papplJobSetMediaSheetsCompleted(job, static_cast<int>(now_sheets - sheets));
            sheets = now_sheets;
        }
    }
};

// Copies everything readable from fd to the device; false when the device
// failed, a read failed, the job was cancelled or, with a deadline (a
// monotonic time in ms, 0 for none), when it passed. The wait for input is
// cut into short polls so that a cancel ends a slow conversion promptly.
// What went out is counted in sent.
bool copy_to_device(pappl_job_t *job, int fd, pappl_device_t *device, Sent *sent, long deadline = 0)
{
    char buf[65536];
    for (;;) {
        if (papplJobIsCanceled(job))
            return false;
        if (deadline != 0 && now_ms() > deadline)
            return jobs_fail(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                             "The document took more than %d s to convert.",
                             jobs_conversion_seconds);
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, 200);
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return jobs_fail(job, PAPPL_JREASON_NONE, "Unable to read the document: %s",
                             strerror(errno));
        }
        if (!jobs_write(device, buf, static_cast<size_t>(n)))
            return jobs_device_failed(job);
        sent->stream.feed(buf, static_cast<size_t>(n));
        sent->tell(sent->stream.ended());
    }
}

// The page count that a PostScript document gives of itself, read from fd
// to its end; -1 for none, or when it could not be read whole.
long document_pages(int fd)
{
    DscPages dsc;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            dsc.feed(buf, static_cast<size_t>(n));
    dsc.finish();
    return n == 0 ? dsc.pages() : -1;
}

bool write_prolog(pappl_job_t *job, const pappl_pr_options_t *options, bool copies,
                  pappl_device_t *device)
{
    char prolog[2048];
    if (!jobs_prolog(options, copies, prolog, sizeof(prolog)))
        return jobs_fail(job, PAPPL_JREASON_NONE, "The job's setup does not fit its buffer.");
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

// Reaps a filter and says whether it ended well; the first filter to fail
// gives the job its reason.
bool filter_ended_well(pappl_job_t *job, pid_t pid, const char *name, bool *blamed)
{
    const int status = wait_child(pid);
    if (status == 0)
        return true;
    char why[64];
    if (WIFSIGNALED(status))
        snprintf(why, sizeof(why), "was killed by signal %d", WTERMSIG(status));
    else
        snprintf(why, sizeof(why), "exited with status %d", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    if (*blamed || papplJobIsCanceled(job)) {
        papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "%s %s.", name, why);
    } else {
        jobs_fail(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                  "The PDF document could not be converted (%s %s).", name, why);
        *blamed = true;
    }
    return false;
}

// True when pid has ended, without reaping it.
bool has_ended(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Ends a conversion stopped early: its process group (the filters and
// whatever they started, such as Ghostscript) is asked to end, then made to
// after 2 s. The group's leader is still unreaped here, so its ID cannot
// have passed to anyone else.
void end_conversion(pid_t group, pid_t first, pid_t second)
{
    kill(-group, SIGTERM);
    const long until = now_ms() + 2000;
    while (now_ms() < until && !(has_ended(first) && (second < 0 || has_ended(second))))
        nap_ms(20);
    kill(-group, SIGKILL);
}

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// The document's own page count, if it gives one, times the copies that the
// prolog asks the printer for; a document that gives none is not counted.
bool print_postscript(pappl_job_t *job, pappl_device_t *device)
{
    const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return jobs_fail(job, PAPPL_JREASON_NONE, "Unable to open the document: %s", strerror(errno));
    const long pages = document_pages(fd);
    if (lseek(fd, 0, SEEK_SET) != 0) {
        const int error = errno;
        close(fd);
        return jobs_fail(job, PAPPL_JREASON_NONE, "Unable to read the document: %s", strerror(error));
    }
    if (pages > 0 && pages <= INT_MAX)
        papplJobSetImpressions(job, static_cast<int>(pages));
    if (pages > 0)
        papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "The document gives its count: %ld pages.", pages);
    else
        papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "The document gives no page count; its pages are not counted.");
    pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
    bool ok = false;
    if (options != nullptr) {
        Sent sent(job, options->copies > 1 ? options->copies : 1, options->sides != PAPPL_SIDES_ONE_SIDED,
                  pages > 0 ? pages : 0);
        ok = write_prolog(job, options, true, device) ? copy_to_device(job, fd, device, &sent)
                                                      : jobs_device_failed(job);
        if (ok)
            sent.tell(pages);
        papplJobDeletePrintOptions(options);
    }
    close(fd);
    return ok;
}

bool print_pdf(pappl_job_t *job, pappl_device_t *device)
{
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

    // pdftopdf makes the copies, each of a two-sided job starting on a sheet
    // of its own (it adds a blank back to a copy of an odd page count): the
    // stream's pages are the job's impressions.
    const bool two_sided = options->sides != PAPPL_SIDES_ONE_SIDED;
    Sent sent(job, 1, two_sided, -1);
    int between[2] = {-1, -1}, out[2] = {-1, -1};
    pid_t first = -1, second = -1;
    bool ok = false, whole = false;
    const long deadline = now_ms() + jobs_conversion_seconds * 1000L;
    if (pipe2(between, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0) {
        // Both filters in one new process group, led by the first.
        first = start_child_in_group(pdftopdf, -1, between[1], 0);
        if (first < 0)
            jobs_fail(job, PAPPL_JREASON_NONE, "Unable to run %s: %s", kPdfToPdf, strerror(errno));
        close_fd(&between[1]);
        if (first >= 0) {
            second = start_child_in_group(pdftops, between[0], out[1], first);
            if (second < 0)
                jobs_fail(job, PAPPL_JREASON_NONE, "Unable to run %s: %s", kPdfToPs, strerror(errno));
        }
        close_fd(&between[0]);
        close_fd(&out[1]);
        if (second >= 0) {
            if (!write_prolog(job, options, false, device))
                jobs_device_failed(job);
            else
                whole = copy_to_device(job, out[0], device, &sent, deadline);
            ok = whole;
        }
    } else {
        jobs_fail(job, PAPPL_JREASON_NONE, "Unable to make a pipe: %s", strerror(errno));
    }
    if (first >= 0 && !whole)
        end_conversion(first, first, second);
    close_fd(&out[0]);
    close_fd(&out[1]);
    close_fd(&between[0]);
    close_fd(&between[1]);
    bool blamed = !whole;
    if (first >= 0 && !filter_ended_well(job, first, "pdftopdf", &blamed))
        ok = false;
    if (second >= 0 && !filter_ended_well(job, second, "pdftops", &blamed))
        ok = false;
    if (ok) {
        sent.stream.finish();
        const long pages = sent.stream.ended();
        sent.tell(pages);
        const long made = options->copies > 1 ? options->copies : 1;
        if (pages % made == 0 && pages / made <= INT_MAX)
            papplJobSetImpressions(job, static_cast<int>(pages / made));
    }
    papplJobDeletePrintOptions(options);
    return ok;
}

struct Conversion {
    const char *format;
    bool (*convert)(pappl_job_t *job, pappl_device_t *device);
};

const Conversion kConversions[] = {
    {"application/postscript", print_postscript},
    {"application/pdf", print_pdf},
};

// Every PostScript and PDF job's one route: the gate, then the format's
// conversion into the device.
bool print_document(pappl_job_t *job, pappl_device_t *device, void *data)
{
    const auto *conversion = static_cast<const Conversion *>(data);
    if (!gate_admit(job, device))
        return false;
    const bool ok = conversion->convert(job, device);
    status_after_job(job);
    return ok;
}

} // namespace

void jobs_add_filters(pappl_system_t *system)
{
    for (const Conversion &c : kConversions)
        papplSystemAddMIMEFilter(system, c.format, "application/postscript", print_document,
                                 const_cast<Conversion *>(&c));
}
