// The app's parts that need no running server: the driver chosen for a
// device ID, each driver against its model's PPD, the job's setup as
// PostScript, the SNMP query's bound, and discovery without D-Bus.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <cups/ppd.h>

#include <grp.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include "checks/models.h"
#include "printer_app/drivers.h"
#include "printer_app/jobs.h"
#include "printer_app/login.h"
#include "printer_app/pages.h"
#include "printer_app/status_map.h"
#include "printer_app/strings.h"
#include "printer_app/system.h"
#include "printer_app/web.h"

namespace {

struct DriverCase {
    const char *device_id;
    const char *driver; // nullptr: refused
};

TEST(PrinterApp, TheDriverFollowsTheModelThatTheDeviceIdNames)
{
    static const DriverCase cases[] = {
        {"MFG:Quovel;MDL:R4410KX series;CLS:PRINTER;", "quovel-r4410kx"},
        {"MFG:Quovel;CMD:PS;MDL:L8120KX series;CLS:PRINTER;DES:x;", "quovel-l8120kx"},
        {"MFG:Quovel;MDL:R4410KX Series;CLS:PRINTER;", nullptr},
        {"MFG:Quovel;MDL:X9000 series;CLS:PRINTER;", nullptr},
        {"MFG:Quovel;MDL:R4410KX series;", nullptr},
        {"", nullptr},
    };
    for (const DriverCase &c : cases) {
        const char *got = driver_for_device(nullptr, "file:///dev/null", c.device_id, nullptr);
        if (c.driver == nullptr) {
            EXPECT_EQ(got, nullptr) << c.device_id;
        } else {
            EXPECT_STREQ(got, c.driver) << c.device_id;
        }
    }
}

TEST(PrinterApp, EachDriverReportsTheDeviceIdOfItsOwnModel)
{
    pappl_pr_driver_t *drivers = nullptr;
    const int n = drivers_list(&drivers);
    ASSERT_EQ(n, 2);
    for (int i = 0; i < n; i++) {
        EXPECT_STREQ(driver_for_device(nullptr, nullptr, drivers[i].device_id, nullptr),
                     drivers[i].name);
        EXPECT_EQ(strncmp(drivers[i].description, "Quovel ", 7), 0) << drivers[i].description;
    }
}

// What a user is offered for one model, as sorted IPP keywords ("600dpi").
struct Offer {
    std::vector<std::string> media, resolutions, sides;
    std::string default_media, default_resolution;
    int margin_pt[4]; // left, bottom, right, top of the default size
};

std::string dpi(int value)
{
    return std::to_string(value) + "dpi";
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// What the generated PPD offers, read through libcups as the scheduler reads it.
Offer ppd_offer(const std::string &path)
{
    Offer o{};
    ppd_file_t *ppd = ppdOpenFile(path.c_str());
    EXPECT_NE(ppd, nullptr) << path;
    if (ppd == nullptr)
        return o;
    // The sizes a user picks from, each with its printable area.
    ppd_option_t *page_size = ppdFindOption(ppd, "PageSize");
    for (int i = 0; page_size != nullptr && i < page_size->num_choices; i++) {
        const char *name = page_size->choices[i].choice;
        const pwg_media_t *pwg = pwgMediaForPPD(name);
        o.media.push_back(pwg != nullptr ? pwg->pwg : name);
        const ppd_size_t *size = ppdPageSize(ppd, name);
        EXPECT_NE(size, nullptr) << name << " has no printable area";
        if (size == nullptr || strcmp(name, page_size->defchoice) != 0)
            continue;
        o.default_media = o.media.back();
        o.margin_pt[0] = static_cast<int>(size->left);
        o.margin_pt[1] = static_cast<int>(size->bottom);
        o.margin_pt[2] = static_cast<int>(size->width - size->right);
        o.margin_pt[3] = static_cast<int>(size->length - size->top);
    }
    ppd_option_t *res = ppdFindOption(ppd, "Resolution");
    for (int i = 0; res != nullptr && i < res->num_choices; i++)
        o.resolutions.push_back(res->choices[i].choice);
    if (res != nullptr)
        o.default_resolution = res->defchoice;
    // A PPD without a Duplex option prints one side only.
    static const char *const kDuplex[][2] = {{"None", "one-sided"},
                                             {"DuplexNoTumble", "two-sided-long-edge"},
                                             {"DuplexTumble", "two-sided-short-edge"}};
    ppd_option_t *duplex = ppdFindOption(ppd, "Duplex");
    if (duplex == nullptr)
        o.sides.push_back("one-sided");
    for (int i = 0; duplex != nullptr && i < duplex->num_choices; i++) {
        for (const auto &d : kDuplex) {
            if (strcmp(duplex->choices[i].choice, d[0]) == 0)
                o.sides.push_back(d[1]);
        }
    }
    ppdClose(ppd);
    return o;
}

#pragma GCC diagnostic pop

// What the app offers: what its driver callback gives PAPPL, which reports it
// as media-supported, printer-resolution-supported and sides-supported.
Offer app_offer(const char *driver)
{
    Offer o{};
    pappl_pr_driver_data_t data{};
    ipp_t *attrs = nullptr;
    EXPECT_TRUE(driver_setup(nullptr, driver, "file:///dev/null", nullptr, &data, &attrs, nullptr));
    ippDelete(attrs);
    for (int i = 0; i < data.num_media; i++)
        o.media.push_back(data.media[i]);
    for (int i = 0; i < data.num_resolution; i++) {
        EXPECT_EQ(data.x_resolution[i], data.y_resolution[i]);
        o.resolutions.push_back(dpi(data.x_resolution[i]));
    }
    static const std::pair<pappl_sides_t, const char *> kSides[] = {
        {PAPPL_SIDES_ONE_SIDED, "one-sided"},
        {PAPPL_SIDES_TWO_SIDED_LONG_EDGE, "two-sided-long-edge"},
        {PAPPL_SIDES_TWO_SIDED_SHORT_EDGE, "two-sided-short-edge"}};
    for (const auto &side : kSides) {
        if ((data.sides_supported & side.first) != 0)
            o.sides.push_back(side.second);
    }
    o.default_media = data.media_default.size_name;
    o.default_resolution = dpi(data.x_default);
    // Hundredths of a millimetre to whole points, as the PPD states them.
    const int lr = static_cast<int>(std::lround(data.media_default.left_margin * 72.0 / 2540.0));
    const int bt = static_cast<int>(std::lround(data.media_default.bottom_margin * 72.0 / 2540.0));
    o.margin_pt[0] = o.margin_pt[2] = lr;
    o.margin_pt[1] = o.margin_pt[3] = bt;
    return o;
}

TEST(PrinterApp, EachModelsPpdOffersWhatItsDriverOffers)
{
    for (int i = 0; i < supported_model_count(); i++) {
        const char *driver = supported_model(i).driver;
        SCOPED_TRACE(driver);
        Offer ppd = ppd_offer(std::string(PPD_BUILD_DIR) + "/" + driver + ".ppd");
        Offer app = app_offer(driver);
        for (Offer *o : {&ppd, &app}) {
            std::sort(o->media.begin(), o->media.end());
            std::sort(o->resolutions.begin(), o->resolutions.end());
            std::sort(o->sides.begin(), o->sides.end());
        }
        EXPECT_FALSE(app.media.empty());
        EXPECT_EQ(ppd.media, app.media);
        EXPECT_EQ(ppd.resolutions, app.resolutions);
        EXPECT_EQ(ppd.sides, app.sides);
        EXPECT_EQ(ppd.default_media, app.default_media);
        EXPECT_EQ(ppd.default_resolution, app.default_resolution);
        for (int edge = 0; edge < 4; edge++)
            EXPECT_EQ(ppd.margin_pt[edge], app.margin_pt[edge]) << "edge " << edge;
    }
}

struct PrologCase {
    pappl_sides_t sides;
    int copies;
    bool with_copies;
    const char *media;
    const char *expected[3];
    const char *absent;
};

TEST(PrinterApp, TheSetupAsksForTheJobsMediaSidesAndCopies)
{
    static const PrologCase cases[] = {
        {PAPPL_SIDES_ONE_SIDED, 1, true, "iso_a4_210x297mm",
         {"<</PageSize[595 842]", "<</Duplex false/Tumble false>>", "<</HWResolution[600 600]>>"},
         "NumCopies"},
        {PAPPL_SIDES_TWO_SIDED_LONG_EDGE, 3, true, "na_letter_8.5x11in",
         {"<</PageSize[612 792]", "<</Duplex true/Tumble false>>", "<</NumCopies 3>>"},
         nullptr},
        {PAPPL_SIDES_TWO_SIDED_SHORT_EDGE, 3, false, "iso_dl_110x220mm",
         {"<</PageSize[312 624]", "<</Duplex true/Tumble true>>", "stopped cleartomark"},
         "NumCopies"},
    };
    for (const PrologCase &c : cases) {
        pappl_pr_options_t options{};
        const pwg_media_t *pwg = pwgMediaForPWG(c.media);
        ASSERT_NE(pwg, nullptr);
        snprintf(options.media.size_name, sizeof(options.media.size_name), "%s", c.media);
        options.media.size_width = pwg->width;
        options.media.size_length = pwg->length;
        options.sides = c.sides;
        options.copies = c.copies;
        options.printer_resolution[0] = options.printer_resolution[1] = 600;
        char buf[2048];
        ASSERT_TRUE(jobs_prolog(&options, c.with_copies, buf, sizeof(buf)));
        for (const char *want : c.expected)
            EXPECT_NE(strstr(buf, want), nullptr) << c.media << ": " << want << " in\n" << buf;
        if (c.absent != nullptr) {
            EXPECT_EQ(strstr(buf, c.absent), nullptr) << buf;
        }
        // A buffer too small for it is refused, never cut short.
        EXPECT_FALSE(jobs_prolog(&options, c.with_copies, buf, strlen(buf)));
    }
}

struct DscCase {
    const char *name;
    const char *document;
    long pages;  // what the document says its count is; -1: it cannot tell
    long ended;  // its own "%%Page:" pages, once it has ended
};

TEST(PrinterApp, APostScriptDocumentsPageCountIsTheOneItGivesOfItself)
{
    static const DscCase cases[] = {
        {"a count in the header",
         "%!PS-Adobe-3.0\n%%Pages: 3 1\n%%EndComments\n%%Page: 1 1\nshowpage\n%%Page: 2 2\nshowpage\n"
         "%%Page: 3 3\nshowpage\n%%EOF\n",
         3, 3},
        {"a count at the end",
         "%!PS-Adobe-3.0\n%%Pages: (atend)\n%%EndComments\n%%Page: 1 1\nshowpage\n%%Page: 2 2\nshowpage\n"
         "%%Trailer\n%%Pages: 2\n%%EOF\n",
         2, 2},
        {"an embedded document's comments are its own",
         "%!PS-Adobe-3.0\n%%Pages: (atend)\n%%EndComments\n%%Page: 1 1\n%%BeginDocument: logo.eps\n"
         "%!PS-Adobe-3.0 EPSF-3.0\n%%Pages: 5\n%%Page: 1 1\n%%Trailer\n%%Pages: 5\n%%EOF\n%%EndDocument\n"
         "showpage\n%%Page: 2 2\nshowpage\n%%Trailer\n%%Pages: 2\n%%EOF\n",
         2, 2},
        {"no count and no page comments", "%!PS-Adobe-3.0\n/Helvetica findfont\nshowpage\nshowpage\n", -1, 0},
        {"a document that does not claim the conventions",
         "%!PS\n%%Pages: 4\n%%Page: 1 1\nshowpage\n%%Page: 2 2\nshowpage\n", -1, 2},
        {"page comments without a count",
         "%!PS-Adobe-3.0\n%%EndComments\n%%Page: a 1\nshowpage\n%%Page: b 2\nshowpage\n", 2, 2},
        {"an end count that never came",
         "%!PS-Adobe-3.0\n%%Pages: (atend)\n%%Page: 1 1\nshowpage\n%%Page: 2 2\nshowpage\n", 2, 2},
        {"a count that is not a number", "%!PS-Adobe-3.0\n%%Pages: many\n%%EndComments\nshowpage\n", -1, 0},
        {"carriage returns end its lines",
         "%!PS-Adobe-3.0\r%%Pages: 2\r%%EndComments\r%%Page: 1 1\rshowpage\r%%Page: 2 2\rshowpage\r%%EOF\r", 2, 2},
        {"wrapped in PJL",
         "\x1b%-12345X@PJL JOB\r\n@PJL ENTER LANGUAGE=POSTSCRIPT\r\n%!PS-Adobe-3.0\r\n%%Pages: 1\r\n"
         "%%EndComments\r\n%%Page: 1 1\r\nshowpage\r\n%%EOF\r\n\x1b%-12345X",
         1, 1},
        {"page comments only at a line's start",
         "%!PS-Adobe-3.0\n%%EndComments\n%%Page: 1 1\n(%%Page: 2 2) show showpage\n%%Page: "
         "this-label-is-longer-than-the-part-of-a-line-that-is-kept-and-still-counts 2\nshowpage\n",
         2, 2},
    };
    for (const DscCase &c : cases) {
        const std::string doc = c.document;
        // Whole, and one byte at a time: the pieces a document arrives in
        // change nothing.
        DscPages whole, bytes;
        whole.feed(doc.data(), doc.size());
        for (char ch : doc)
            bytes.feed(&ch, 1);
        whole.finish();
        bytes.finish();
        EXPECT_EQ(whole.pages(), c.pages) << c.name;
        EXPECT_EQ(whole.ended(), c.ended) << c.name;
        EXPECT_EQ(bytes.pages(), c.pages) << c.name;
        EXPECT_EQ(bytes.ended(), c.ended) << c.name;
    }
}

TEST(PrinterApp, APageCountsAsGoneOutOnlyOnceTheNextPageOrTheTrailerFollows)
{
    static const char *const kPieces[] = {
        "%!PS-Adobe-3.0\n%%Pages: (atend)\n%%EndComments\n%%Page: 1 1\nshowpage\n%%Pa",
        "ge: 2 2\nshowpage\n",
        "%%Trailer\n%%Pages: 2\n",
    };
    static const long kEnded[] = {0, 1, 2};
    static const long kDeclared[] = {-1, -1, 2};
    DscPages dsc;
    for (size_t i = 0; i < sizeof(kPieces) / sizeof(kPieces[0]); i++) {
        dsc.feed(kPieces[i], strlen(kPieces[i]));
        EXPECT_EQ(dsc.ended(), kEnded[i]) << "after piece " << i;
        EXPECT_EQ(dsc.declared(), kDeclared[i]) << "after piece " << i;
    }
}

void collect(const char *message, void *data)
{
    static_cast<std::string *>(data)->append(message);
}

bool count(const char *, const char *, const char *, void *data)
{
    ++*static_cast<int *>(data);
    return false;
}

TEST(PrinterApp, WithoutASystemBusDiscoverySaysSoAndTheOtherDevicesRemain)
{
    // A bus address where nothing listens stands for a machine without D-Bus.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quovel-test-bus", 1);
    std::string errors;
    int found = 0;
    papplDeviceList(PAPPL_DEVTYPE_DNS_SD, count, &found, collect, &errors);
    EXPECT_EQ(found, 0);
    EXPECT_FALSE(errors.empty());
    EXPECT_TRUE(papplDeviceIsSupported("socket://127.0.0.1:9100"));
    EXPECT_TRUE(papplDeviceIsSupported("file:///dev/null"));
}

struct ListenCase {
    const char *listen; // as -o listen-hostname= gives it; null when not given
    bool loopback_only;
};

const ListenCase kListenCases[] = {
    {nullptr, true},       {"127.0.0.1", true},  {"127.255.0.9", true},
    {"localhost", true},   {"::1", true},        {"[::1]", true},
    {"*", false},          {"0.0.0.0", false},   {"::", false},
    {"192.0.2.10", false}, {"128.0.0.1", false}, {"printhost.example", false},
    {"[::2]", false},      {"", false},
};

TEST(PrinterApp, SettingsAskForALoginWheneverTheAppListensBeyondLoopback)
{
    for (const ListenCase &c : kListenCases) {
        const char *name = c.listen != nullptr ? c.listen : "(none)";
        EXPECT_EQ(web_listens_on_loopback_only(c.listen), c.loopback_only) << name;
        const char *service = web_auth_service(c.listen, nullptr);
        EXPECT_STREQ(service, c.loopback_only ? nullptr : kAppName) << name;
        // A service the administrator names is used everywhere.
        EXPECT_STREQ(web_auth_service(c.listen, "other-service"), "other-service") << name;
    }
}

TEST(PrinterApp, AUsersSupplementaryGroupsCountForTheAdminGroup)
{
    // root's primary group is 0; "nogroup" is in no one's list on Debian.
    EXPECT_TRUE(login_user_in_group("root", 0));
    group entry{};
    group *none = nullptr;
    char buf[4096];
    ASSERT_EQ(getgrnam_r("nogroup", &entry, buf, sizeof(buf), &none), 0);
    ASSERT_NE(none, nullptr);
    EXPECT_FALSE(login_user_in_group("root", none->gr_gid));
    EXPECT_FALSE(login_user_in_group("no-such-user-here", 0));
}

// Each text the app hands PAPPL to show in the reader's language (the footer,
// the drivers' names, the print options it adds) has a text in every
// language built in, and the others' differ from the English: PAPPL's lookup
// returns the key itself only where it has none.
TEST(PrinterApp, EveryTextTheAppShowsThroughPapplIsTranslatedInEveryLanguageBuiltIn)
{
    char spool[] = "/tmp/quovel-strings-XXXXXX";
    ASSERT_NE(mkdtemp(spool), nullptr);
    pappl_system_t *system = papplSystemCreate(PAPPL_SOPTIONS_NONE, "strings-test", 0, nullptr,
                                               spool, "/dev/null", PAPPL_LOGLEVEL_ERROR,
                                               nullptr, false);
    ASSERT_NE(system, nullptr);
    strings_add(system);

    std::vector<std::string> texts = {kFooterHTML};
    pappl_pr_driver_t *drivers = nullptr;
    const int num_drivers = drivers_list(&drivers);
    ASSERT_GT(num_drivers, 0);
    for (int i = 0; i < num_drivers; i++) {
        texts.emplace_back(drivers[i].description);
        pappl_pr_driver_data_t data{};
        ipp_t *attrs = nullptr;
        ASSERT_TRUE(driver_setup(system, drivers[i].name, "file:///dev/null", drivers[i].device_id,
                                 &data, &attrs, nullptr));
        for (int j = 0; j < data.num_vendor; j++)
            texts.emplace_back(data.vendor[j]);
        ippDelete(attrs);
    }

    // Every message that a job waiting for its printer can carry.
    for (int byte = 0; byte < 2; byte++) {
        for (int bit = 0; bit < 8; bit++) {
            PrinterReport report;
            report.answered = true;
            report.errors[byte] = static_cast<unsigned char>(1U << bit);
            if (const char *message = status_stop_message(report))
                texts.emplace_back(message);
        }
    }
    PrinterReport down;
    down.answered = true;
    down.device_status = 5;
    ASSERT_NE(status_stop_message(down), nullptr);
    texts.emplace_back(status_stop_message(down));

    int num_languages = 0;
    const AppLanguage *languages = strings_languages(&num_languages);
    ASSERT_GE(num_languages, 2);
    pappl_loc_t *english = papplSystemFindLoc(system, "en");
    ASSERT_NE(english, nullptr);
    for (int i = 0; i < num_languages; i++) {
        pappl_loc_t *loc = papplSystemFindLoc(system, languages[i].tag);
        ASSERT_NE(loc, nullptr) << languages[i].tag;
        for (const std::string &text : texts) {
            const char *shown = papplLocGetString(loc, text.c_str());
            EXPECT_NE(shown, text.c_str()) << languages[i].tag << ": no text for " << text;
            if (loc != english) {
                EXPECT_STRNE(shown, papplLocGetString(english, text.c_str()))
                    << languages[i].tag << " shows English for " << text;
            }
        }
    }
    papplSystemDelete(system);
    rmdir(spool);
}

} // namespace
