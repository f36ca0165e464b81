// Raster pages as PostScript images: each page one image the size of the
// sheet, its samples Flate-compressed (a LanguageLevel 3 filter) and sent as
// binary, so that the output stays close to the size of the compressed
// raster.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "printer_app/gate.h"
#include "printer_app/jobs.h"
#include "printer_app/status.h"

namespace {

struct RasterJob {
    z_stream z{};
    bool z_open = false;
    bool failed = false;
    unsigned pages = 0;
    // The page's last line, and this one as a PNG "Up" row: its filter-type
    // byte, then each byte less the one above it. Rows of a printed page
    // mostly repeat the row above, so they become runs of zeros.
    std::vector<unsigned char> above, row;
    unsigned char out[65536] = {};
};

RasterJob *raster_job(pappl_job_t *job)
{
    return static_cast<RasterJob *>(papplJobGetData(job));
}

// Sends what the compressor produced so far; flush ends the stream.
bool pump(RasterJob *r, pappl_device_t *device, int flush)
{
    int rc;
    do {
        r->z.next_out = r->out;
        r->z.avail_out = sizeof(r->out);
        rc = deflate(&r->z, flush);
        if (rc == Z_STREAM_ERROR)
            return false;
        const size_t have = sizeof(r->out) - r->z.avail_out;
        if (!jobs_write(device, r->out, have))
            return false;
    } while (r->z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    return true;
}

// The colour space and decoding of the samples PAPPL hands us.
bool image_space(const cups_page_header2_t &h, const char **space, const char **decode)
{
    switch (h.cupsColorSpace) {
    case CUPS_CSPACE_SW:
    case CUPS_CSPACE_W:
        *space = "/DeviceGray";
        *decode = "[0 1]";
        return h.cupsBitsPerPixel == 8 || h.cupsBitsPerPixel == 1;
    case CUPS_CSPACE_K:
        // Ink coverage: 0 is white.
        *space = "/DeviceGray";
        *decode = "[1 0]";
        return h.cupsBitsPerPixel == 8 || h.cupsBitsPerPixel == 1;
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_RGB:
        *space = "/DeviceRGB";
        *decode = "[0 1 0 1 0 1]";
        return h.cupsBitsPerPixel == 24;
    default:
        return false;
    }
}

bool fail(pappl_job_t *job, RasterJob *r, const char *why)
{
    if (r != nullptr)
        r->failed = true;
    return jobs_fail(job, PAPPL_JREASON_NONE, why);
}

bool device_failed(RasterJob *r, pappl_job_t *job)
{
    r->failed = true;
    return jobs_device_failed(job);
}

// Lets go of the job's raster state as its route ends; returns ok.
bool finish(pappl_job_t *job, RasterJob *r, bool ok)
{
    papplJobSetData(job, nullptr);
    delete r;
    status_after_job(job);
    return ok;
}

} // namespace

bool jobs_raster_start_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device)
{
    // The raster route's one entry, for raster and images alike: the gate
    // before anything reaches the device. PAPPL ends a job whose start
    // failed without the end-of-job call.
    if (!gate_admit(job, device))
        return false;
    auto *r = new RasterJob;
    papplJobSetData(job, r);

    // No copies asked of the printer: PAPPL sends each copy of a JPEG or PNG
    // as a page of its own, and offers one copy of PWG and Apple raster.
    char prolog[2048];
    if (!jobs_prolog(options, false, prolog, sizeof(prolog)))
        return finish(job, r, fail(job, r, "The job's setup does not fit its buffer."));
    static const char kHeader[] =
        "%!PS-Adobe-3.0\n%%Creator: quovel-printer-app\n%%LanguageLevel: 3\n%%Pages: (atend)\n"
        "%%EndComments\n%%BeginSetup\n";
    static const char kEndSetup[] = "%%EndSetup\n";
    if (!jobs_write(device, kHeader, sizeof(kHeader) - 1) ||
        !jobs_write(device, prolog, strlen(prolog)) ||
        !jobs_write(device, kEndSetup, sizeof(kEndSetup) - 1))
        return finish(job, r, device_failed(r, job));
    return true;
}

bool jobs_raster_start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                            unsigned page)
{
    RasterJob *r = raster_job(job);
    if (r == nullptr || r->failed)
        return false;
    const cups_page_header2_t &h = options->header;
    const char *space = nullptr, *decode = nullptr;
    if (!image_space(h, &space, &decode) || h.cupsWidth == 0 || h.cupsHeight == 0)
        return fail(job, r, "The raster's colour space or depth cannot be printed.");
    const unsigned bits = h.cupsBitsPerColor == 1 ? 1 : 8;

    if (h.HWResolution[0] == 0 || h.HWResolution[1] == 0)
        return fail(job, r, "The raster has no resolution.");
    // The page is the raster's own size, from its pixels rather than its
    // whole-point PageSize, which falls short by up to a point; the image
    // fills it, first line at the top.
    const double width = h.cupsWidth * 72.0 / h.HWResolution[0];
    const double height = h.cupsHeight * 72.0 / h.HWResolution[1];
    // A header whose pixels disagree with its page size by more than half
    // an inch lies about one of them; PAPPL would pad a page of made-up
    // lines out to the pixel count.
    if ((h.PageSize[0] != 0 && std::fabs(width - h.PageSize[0]) > 36) ||
        (h.PageSize[1] != 0 && std::fabs(height - h.PageSize[1]) > 36)) {
        r->failed = true;
        return jobs_fail(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                         "The raster page's header is inconsistent: %ux%u pixels at %ux%u dpi "
                         "on a %ux%u point page.",
                         h.cupsWidth, h.cupsHeight, h.HWResolution[0], h.HWResolution[1],
                         h.PageSize[0], h.PageSize[1]);
    }
    char text[1024];
    const int n = snprintf(
        text, sizeof(text),
        "%%%%Page: %u %u\n[{\n<</PageSize[%.2f %.2f]/ImagingBBox null>>setpagedevice\n} stopped "
        "cleartomark\ngsave\n%.2f %.2f scale\n%s setcolorspace\n"
        "<</ImageType 1/Width %u/Height %u/BitsPerComponent %u/Decode %s"
        "/ImageMatrix[%u 0 0 -%u 0 %u]/Interpolate false"
        "/DataSource currentfile<</Predictor 12/Colors %u/BitsPerComponent %u/Columns %u>>"
        "/FlateDecode filter>>image\n",
        page, page, width, height, width, height, space, h.cupsWidth,
        h.cupsHeight, bits, decode, h.cupsWidth, h.cupsHeight, h.cupsHeight,
        bits == 1 ? 1U : h.cupsBitsPerPixel / 8, bits, h.cupsWidth);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(text))
        return fail(job, r, "The page's setup does not fit its buffer.");
    if (!jobs_write(device, text, static_cast<size_t>(n)))
        return device_failed(r, job);

    r->above.assign(h.cupsBytesPerLine, 0);
    r->row.assign(h.cupsBytesPerLine + 1, 0);
    r->row[0] = 2; // PNG's "Up"
    r->z = z_stream{};
    if (deflateInit(&r->z, Z_DEFAULT_COMPRESSION) != Z_OK)
        return fail(job, r, "Unable to start compressing the page.");
    r->z_open = true;
    return true;
}

bool jobs_raster_write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                            unsigned y, const unsigned char *line)
{
    (void)y;
    RasterJob *r = raster_job(job);
    if (r == nullptr || r->failed || !r->z_open)
        return false;
    const size_t len = r->above.size();
    if (options->header.cupsBytesPerLine != len)
        return fail(job, r, "The raster's line length changed within a page.");
    for (size_t i = 0; i < len; i++) {
        r->row[i + 1] = static_cast<unsigned char>(line[i] - r->above[i]);
        r->above[i] = line[i];
    }
    r->z.next_in = r->row.data();
    r->z.avail_in = static_cast<uInt>(r->row.size());
    if (!pump(r, device, Z_NO_FLUSH))
        return device_failed(r, job);
    return true;
}

bool jobs_raster_end_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                          unsigned page)
{
    (void)options;
    (void)page;
    RasterJob *r = raster_job(job);
    if (r == nullptr || !r->z_open)
        return false;
    const bool sent = !r->failed && pump(r, device, Z_FINISH);
    deflateEnd(&r->z);
    r->z_open = false;
    static const char kEnd[] = "\ngrestore\nshowpage\n";
    if (!sent || !jobs_write(device, kEnd, sizeof(kEnd) - 1))
        return r->failed ? false : device_failed(r, job);
    r->pages++;
    return true;
}

bool jobs_raster_end_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device)
{
    (void)options;
    RasterJob *r = raster_job(job);
    if (r == nullptr)
        return false;
    if (r->z_open)
        deflateEnd(&r->z);
    char trailer[128];
    const int n = snprintf(trailer, sizeof(trailer), "%%%%Trailer\n%%%%Pages: %u\n%%%%EOF\n", r->pages);
    const bool ok = !r->failed && (jobs_write(device, trailer, static_cast<size_t>(n)) ||
                                   device_failed(r, job));
    return finish(job, r, ok);
}
