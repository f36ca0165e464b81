// A job's page and sheet counts as an IPP client reads them: raster printed
// by PAPPL through a driver that can fail at a chosen page, and a document
// that the driver prints itself and counts.
#include <cups/cups.h>
#include <cups/raster.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pappl/pappl.h>

#include "tests/pappl/harness.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

// The page at which the driver's start-page or end-page callback fails; 0
// for none.
std::atomic<unsigned> g_fail_start{0}, g_fail_end{0};

bool start_page(pappl_job_t *, pappl_pr_options_t *, pappl_device_t *, unsigned page)
{
    return page != g_fail_start;
}
bool end_page(pappl_job_t *, pappl_pr_options_t *, pappl_device_t *, unsigned page)
{
    return page != g_fail_end;
}

// The document names the sheets it fills ("%%Sheets: 2 3" is two sheets,
// then three more), which the driver adds one number at a time.
bool print_file(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *)
{
    FILE *f = fopen(papplJobGetFilename(job), "r");
    if (f == nullptr)
        return false;
    char line[256];
    while (fgets(line, sizeof(line), f) != nullptr) {
        if (strncmp(line, "%%Sheets:", 9) != 0)
            continue;
        char *p = line + 9, *end = nullptr;
        for (long n = strtol(p, &end, 10); end != p; n = strtol(p, &end, 10)) {
            papplJobSetMediaSheetsCompleted(job, static_cast<int>(n));
            p = end;
        }
    }
    fclose(f);
    return true;
}

pappl_pr_driver_t g_drivers[] = {{"pages_ps", "Pages Test PostScript", nullptr, nullptr}};

bool driver_setup(pappl_system_t *, const char *, const char *, const char *, pappl_pr_driver_data_t *data,
                  ipp_t **, void *)
{
    data->printfile_cb = print_file;
    accept_raster(data);
    data->rstartpage_cb = start_page;
    data->rendpage_cb = end_page;
    describe_a4_postscript_printer(data, "Pages Test PostScript", 423);
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    data->sides_supported =
        PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    data->duplex = PAPPL_DUPLEX_NORMAL;
    return true;
}

ssize_t append(void *ctx, unsigned char *buffer, size_t bytes)
{
    static_cast<std::string *>(ctx)->append(reinterpret_cast<char *>(buffer), bytes);
    return static_cast<ssize_t>(bytes);
}

// Blank A4 pages of 8-bit grey as PWG raster, at a low resolution to keep
// them small.
std::string raster(unsigned pages)
{
    std::string out;
    cups_raster_t *ras = cupsRasterOpenIO(append, &out, CUPS_RASTER_WRITE_PWG);
    cups_page_header2_t header;
    bool ok = ras != nullptr &&
              cupsRasterInitPWGHeader(&header, pwgMediaForPWG("iso_a4_210x297mm"), "sgray_8", 75, 75,
                                      "one-sided", nullptr) != 0;
    std::vector<unsigned char> line(ok ? header.cupsBytesPerLine : 0, 255);
    for (unsigned page = 0; ok && page < pages; page++) {
        ok = cupsRasterWriteHeader2(ras, &header) != 0;
        for (unsigned y = 0; ok && y < header.cupsHeight; y++)
            ok = cupsRasterWritePixels(ras, line.data(), header.cupsBytesPerLine) == header.cupsBytesPerLine;
    }
    cupsRasterClose(ras);
    return ok ? out : std::string();
}

struct Counts {
    ipp_jstate_t state = IPP_JSTATE_PENDING;
    int impressions = -1, sheets = -1; // -1: not reported
};

class PapplPages : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_fail_start = 0;
        g_fail_end = 0;
        ASSERT_NO_FATAL_FAILURE(sys_.create());
        ASSERT_NE(papplPrinterCreate(sys_.system(), 0, "pages", "pages_ps", "MFG:Pages;MDL:Test;CMD:POSTSCRIPT;",
                                     "file:///dev/null"),
                  nullptr);
        ASSERT_NO_FATAL_FAILURE(sys_.start());
        http_ = sys_.connect();
        ASSERT_NE(http_, nullptr);
    }

    void TearDown() override { httpClose(http_); }

    // Print-Job; the job's ID, or 0.
    int print(const std::string &document, const char *format, const char *sides)
    {
        ipp_t *request = ippNewRequest(IPP_OP_PRINT_JOB);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri().c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "pages");
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "sides", nullptr, sides);
        ipp_t *response = send_document(http_, request, kResource, document);
        const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
        ippDelete(response);
        return id;
    }

    Counts counts(int id)
    {
        static const char *const kWanted[] = {"job-state", "job-impressions-completed",
                                              "job-media-sheets-completed"};
        ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri().c_str());
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr, kWanted);
        ipp_t *response = cupsDoRequest(http_, request, kResource);
        Counts c;
        c.state = static_cast<ipp_jstate_t>(ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0));
        if (ipp_attribute_t *a = ippFindAttribute(response, "job-impressions-completed", IPP_TAG_INTEGER))
            c.impressions = ippGetInteger(a, 0);
        if (ipp_attribute_t *a = ippFindAttribute(response, "job-media-sheets-completed", IPP_TAG_INTEGER))
            c.sheets = ippGetInteger(a, 0);
        ippDelete(response);
        return c;
    }

    // The counts once the job has ended.
    Counts ended(int id)
    {
        Counts c;
        EXPECT_TRUE(wait_for([&] { return (c = counts(id)).state >= IPP_JSTATE_CANCELED; }));
        return c;
    }

    std::string uri() const { return "ipp://127.0.0.1:" + std::to_string(sys_.port()) + kResource; }

    static constexpr const char *kResource = "/ipp/print/pages";
    RunningSystem sys_{"Pages Test", PAPPL_SOPTIONS_MULTI_QUEUE, g_drivers, 1, driver_setup};
    http_t *http_ = nullptr;
};

TEST_F(PapplPages, a_raster_job_that_fails_counts_only_the_pages_that_went_out)
{
    static const struct {
        const char *name;
        unsigned fail_start, fail_end;
        ipp_jstate_t state;
        int impressions;
    } kCases[] = {
        {"every page printed", 0, 0, IPP_JSTATE_COMPLETED, 3},
        {"the printer failed at the end of page 2", 0, 2, IPP_JSTATE_ABORTED, 1},
        {"page 3 could not be started", 3, 0, IPP_JSTATE_ABORTED, 2},
        {"page 1 could not be started", 1, 0, IPP_JSTATE_ABORTED, 0},
    };
    const std::string document = raster(3);
    ASSERT_FALSE(document.empty());
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.name);
        g_fail_start = c.fail_start;
        g_fail_end = c.fail_end;
        const int id = print(document, "image/pwg-raster", "one-sided");
        ASSERT_GT(id, 0);
        const Counts got = ended(id);
        EXPECT_EQ(got.state, c.state);
        EXPECT_EQ(got.impressions, c.impressions);
    }
}

TEST_F(PapplPages, raster_jobs_report_the_sheets_they_printed_one_and_two_sided)
{
    static const struct {
        const char *sides;
        unsigned pages;
        unsigned fail_end;
        int impressions, sheets;
    } kCases[] = {
        {"one-sided", 3, 0, 3, 3},
        {"two-sided-long-edge", 3, 0, 3, 2},
        {"two-sided-short-edge", 4, 0, 4, 2},
        {"two-sided-long-edge", 1, 0, 1, 1},
        // The sheet of pages 3 and 4 went out with page 3 alone.
        {"two-sided-long-edge", 4, 4, 3, 2},
        {"two-sided-long-edge", 4, 3, 2, 1},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(std::to_string(c.pages) + " pages " + c.sides + ", failing at " + std::to_string(c.fail_end));
        g_fail_end = c.fail_end;
        const int id = print(raster(c.pages), "image/pwg-raster", c.sides);
        ASSERT_GT(id, 0);
        const Counts got = ended(id);
        EXPECT_EQ(got.impressions, c.impressions);
        EXPECT_EQ(got.sheets, c.sheets);
    }
}

TEST_F(PapplPages, a_driver_reports_the_sheets_of_a_document_it_prints_itself)
{
    const int none = print("%!PS\nshowpage\n", "application/postscript", "one-sided");
    const int five = print("%!PS\n%%Sheets: 2 3\nshowpage\n", "application/postscript", "one-sided");
    ASSERT_GT(none, 0);
    ASSERT_GT(five, 0);
    EXPECT_EQ(ended(none).sheets, 0);
    EXPECT_EQ(ended(five).sheets, 5);
}

TEST_F(PapplPages, the_counts_of_an_ended_job_are_kept_across_a_restart)
{
    const int id = print(raster(3), "image/pwg-raster", "two-sided-long-edge");
    ASSERT_GT(id, 0);
    const Counts before = ended(id);
    ASSERT_EQ(before.sheets, 2);
    const std::string state = sys_.dir() + "/state";
    ASSERT_TRUE(papplSystemSaveState(sys_.system(), state.c_str()));

    const std::string spool = sys_.spool();
    pappl_system_t *again = papplSystemCreate(PAPPL_SOPTIONS_MULTI_QUEUE, "Pages Test", free_port(), nullptr,
                                              spool.c_str(), (sys_.dir() + "/log2").c_str(), PAPPL_LOGLEVEL_DEBUG,
                                              nullptr, false);
    ASSERT_NE(again, nullptr);
    papplSystemSetPrinterDrivers(again, 1, g_drivers, nullptr, nullptr, driver_setup, nullptr);
    EXPECT_TRUE(papplSystemLoadState(again, state.c_str()));
    pappl_printer_t *printer = papplSystemFindPrinter(again, kResource, 0, nullptr);
    pappl_job_t *job = printer != nullptr ? papplPrinterFindJob(printer, id) : nullptr;
    EXPECT_NE(job, nullptr);
    if (job != nullptr) {
        EXPECT_EQ(papplJobGetImpressionsCompleted(job), before.impressions);
        EXPECT_EQ(papplJobGetMediaSheetsCompleted(job), before.sheets);
    }
    papplSystemDelete(again);
}

} // namespace
