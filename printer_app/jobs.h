// Turning each kind of job into PostScript at the device. A job passes the
// gate once, where its route starts (print_document for PostScript and PDF,
// jobs_raster_start_job for raster and the images PAPPL rasterises), and
// only then is its document converted and sent.
#pragma once

#include <cstddef>
#include <cstdio>

#include <pappl/pappl.h>

// Registers PostScript (a setpagedevice prolog, then the document's bytes)
// and PDF (pdftopdf, then pdftops, into the device) as MIME filters to
// application/postscript. JPEG and PNG take PAPPL's own route to raster.
void jobs_add_filters(pappl_system_t *system);

// The longest a PDF's whole conversion may take, in seconds. Set once from the
// server's options before any job runs.
extern int jobs_conversion_seconds;

// Raster (PWG, URF, and JPEG and PNG as PAPPL rasterises them): each page a
// compressed PostScript image.
bool jobs_raster_start_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool jobs_raster_start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                            unsigned page);
bool jobs_raster_write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                            unsigned y, const unsigned char *line);
bool jobs_raster_end_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                          unsigned page);
bool jobs_raster_end_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

// The job's setup as PostScript: media size, sides and, with copies, the
// number of copies, each applied with setpagedevice in a form that a printer
// without the feature skips. Written into buf (size bytes); false when it
// does not fit.
bool jobs_prolog(const pappl_pr_options_t *options, bool copies, char *buf, size_t size);

// Writes the text to the device; false when the device failed.
bool jobs_write(pappl_device_t *device, const void *data, size_t len);

// Ends a job as failed: logs the reason and, unless the job was cancelled,
// makes it the job's message, with errors-detected and the reason given.
// Always false.
bool jobs_fail(pappl_job_t *job, pappl_jreason_t reason, const char *message);

// The same with the message formatted by snprintf first.
template <typename First, typename... Rest>
bool jobs_fail(pappl_job_t *job, pappl_jreason_t reason, const char *format, First first,
               Rest... rest)
{
    char text[512];
    snprintf(text, sizeof(text), format, first, rest...);
    return jobs_fail(job, reason, text);
}

// jobs_fail for a write to the device that failed (the last jobs_write on
// this thread), saying whether the printer had stopped taking data.
bool jobs_device_failed(pappl_job_t *job);
