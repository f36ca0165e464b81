// What the printer's agent reports, as the app shows it: reasons, the job's
// message, supplies, the agent's host and its texts.
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "printer_app/status_map.h"

namespace {

struct ReportCase {
    const char *what;
    bool answered;
    int device_status;
    unsigned char errors[2];
    unsigned reasons;
    const char *message; // nullptr: nothing stops the printer
};

TEST(PrinterStatus, TheAgentsErrorBitsBecomeReasonsAndWhatStopsThePrinterIsSaid)
{
    static const ReportCase cases[] = {
        {"no agent", false, 0, {0x40, 0}, PAPPL_PREASON_OFFLINE, nullptr},
        {"all clear", true, 2, {0, 0}, PAPPL_PREASON_NONE, nullptr},
        {"no paper", true, 5, {0x40, 0}, PAPPL_PREASON_MEDIA_EMPTY, "The printer is out of paper."},
        {"low paper only", true, 3, {0x80, 0}, PAPPL_PREASON_MEDIA_LOW, nullptr},
        {"jam", true, 5, {0x04, 0}, PAPPL_PREASON_MEDIA_JAM, "Paper is jammed in the printer."},
        {"door open", true, 5, {0x08, 0}, PAPPL_PREASON_DOOR_OPEN, "The printer's door is open."},
        {"toner low", true, 3, {0x20, 0}, PAPPL_PREASON_TONER_LOW, nullptr},
        {"no toner", true, 5, {0x10, 0}, PAPPL_PREASON_TONER_EMPTY, "The printer is out of toner."},
        {"offline", true, 5, {0x02, 0}, PAPPL_PREASON_OFFLINE, "The printer is offline."},
        {"service requested", true, 3, {0x01, 0}, PAPPL_PREASON_OTHER, nullptr},
        {"tray missing", true, 5, {0, 0x80}, PAPPL_PREASON_INPUT_TRAY_MISSING,
         "A paper tray is missing from the printer."},
        {"output full", true, 5, {0, 0x08}, PAPPL_PREASON_OTHER, "The printer's output tray is full."},
        {"one tray empty", true, 3, {0, 0x04}, PAPPL_PREASON_MEDIA_LOW, nullptr},
        {"maintenance overdue", true, 3, {0, 0x02}, PAPPL_PREASON_NONE, nullptr},
        // The jam is what to clear first, whatever else is wrong.
        {"jam, door and paper", true, 5, {0x4c, 0},
         PAPPL_PREASON_MEDIA_JAM | PAPPL_PREASON_DOOR_OPEN | PAPPL_PREASON_MEDIA_EMPTY,
         "Paper is jammed in the printer."},
        {"down with no cause given", true, 5, {0, 0}, PAPPL_PREASON_OTHER, "The printer has stopped."},
        {"down and low on toner", true, 5, {0x20, 0},
         PAPPL_PREASON_OTHER | PAPPL_PREASON_TONER_LOW, "The printer has stopped."},
    };
    for (const ReportCase &c : cases) {
        SCOPED_TRACE(c.what);
        PrinterReport report;
        report.answered = c.answered;
        report.device_status = c.device_status;
        report.errors[0] = c.errors[0];
        report.errors[1] = c.errors[1];
        EXPECT_EQ(static_cast<unsigned>(status_reasons(report)), c.reasons);
        EXPECT_EQ(static_cast<unsigned>(status_reasons(report)) & ~kStatusOwnedReasons, 0u)
            << "a reason set that is not cleared again";
        const char *message = status_stop_message(report);
        EXPECT_EQ(std::string(message != nullptr ? message : "(none)"),
                  c.message != nullptr ? c.message : "(none)");
    }
}

struct SupplyCase {
    const char *what;
    int supply_class, type;
    const char *description, *colorant;
    int unit, max_capacity, level;
    int percent;
    pappl_supply_type_t pappl_type;
    pappl_supply_color_t color;
    unsigned reasons;
};

TEST(PrinterStatus, EachSupplyShowsItsOwnLevelTypeAndColourOrNoLevelAtAll)
{
    static const SupplyCase cases[] = {
        {"toner at three quarters", 3, 21, "Black Toner", "black", 7, 20000, 15000, 75,
         PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE, PAPPL_SUPPLY_COLOR_BLACK, PAPPL_PREASON_NONE},
        {"rounded to the nearest", 3, 21, "Toner", "black", 7, 20000, 1500, 8,
         PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE, PAPPL_SUPPLY_COLOR_BLACK,
         PAPPL_PREASON_TONER_LOW | PAPPL_PREASON_MARKER_SUPPLY_LOW},
        {"at the low mark", 3, 3, "Toner", "black", 19, 100, 10, 10, PAPPL_SUPPLY_TYPE_TONER,
         PAPPL_SUPPLY_COLOR_BLACK, PAPPL_PREASON_TONER_LOW | PAPPL_PREASON_MARKER_SUPPLY_LOW},
        {"just above it", 3, 3, "Toner", "black", 19, 100, 11, 11, PAPPL_SUPPLY_TYPE_TONER,
         PAPPL_SUPPLY_COLOR_BLACK, PAPPL_PREASON_NONE},
        {"empty", 3, 21, "Toner", "black", 7, 20000, 0, 0, PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE,
         PAPPL_SUPPLY_COLOR_BLACK, PAPPL_PREASON_TONER_EMPTY | PAPPL_PREASON_MARKER_SUPPLY_EMPTY},
        {"a drum that is no toner", 3, 9, "Drum", "", 7, 50000, 2500, 5, PAPPL_SUPPLY_TYPE_OPC,
         PAPPL_SUPPLY_COLOR_NO_COLOR, PAPPL_PREASON_MARKER_SUPPLY_LOW},
        {"some remaining is no number", 3, 21, "Toner", "black", 7, 20000, -3, -1,
         PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE, PAPPL_SUPPLY_COLOR_BLACK, PAPPL_PREASON_NONE},
        {"unknown level", 3, 21, "Toner", "black", 7, 20000, -2, -1,
         PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE, PAPPL_SUPPLY_COLOR_BLACK, PAPPL_PREASON_NONE},
        {"unknown capacity", 3, 21, "Toner", "black", 7, -2, 500, -1,
         PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE, PAPPL_SUPPLY_COLOR_BLACK, PAPPL_PREASON_NONE},
        {"no capacity but a percentage", 3, 21, "Toner", "black", 19, -2, 40, 40,
         PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE, PAPPL_SUPPLY_COLOR_BLACK, PAPPL_PREASON_NONE},
        {"more than its capacity", 3, 21, "Toner", "black", 7, 100, 130, 100,
         PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE, PAPPL_SUPPLY_COLOR_BLACK, PAPPL_PREASON_NONE},
        {"a large capacity", 3, 21, "Toner", "black", 7, 2000000000, 1000000000, 50,
         PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE, PAPPL_SUPPLY_COLOR_BLACK, PAPPL_PREASON_NONE},
        {"a waste box nearly full", 4, 4, "Waste Toner Box", "", 19, 100, 5, 5,
         PAPPL_SUPPLY_TYPE_WASTE_TONER, PAPPL_SUPPLY_COLOR_NO_COLOR,
         PAPPL_PREASON_MARKER_WASTE_ALMOST_FULL},
        {"a full waste box", 4, 4, "Waste Toner Box", "", 19, 100, 0, 0,
         PAPPL_SUPPLY_TYPE_WASTE_TONER, PAPPL_SUPPLY_COLOR_NO_COLOR,
         PAPPL_PREASON_MARKER_WASTE_FULL},
        {"light cyan is not cyan", 3, 6, "Ink", "light cyan", 19, 100, 60, 60,
         PAPPL_SUPPLY_TYPE_INK_CARTRIDGE, PAPPL_SUPPLY_COLOR_LIGHT_CYAN, PAPPL_PREASON_NONE},
        {"colour from the description", 3, 21, "Cyan Toner Cartridge", "", 7, 100, 50, 50,
         PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE, PAPPL_SUPPLY_COLOR_CYAN, PAPPL_PREASON_NONE},
        {"no colour in a longer word", 3, 21, "Blackish", "", 7, 100, 50, 50,
         PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE, PAPPL_SUPPLY_COLOR_NO_COLOR, PAPPL_PREASON_NONE},
        {"the colorant before the description", 3, 21, "Black Toner", "magenta", 7, 100, 50, 50,
         PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE, PAPPL_SUPPLY_COLOR_MAGENTA, PAPPL_PREASON_NONE},
        {"last known type", 3, 34, "Covers", "", 7, 100, 50, 50, PAPPL_SUPPLY_TYPE_COVERS,
         PAPPL_SUPPLY_COLOR_NO_COLOR, PAPPL_PREASON_NONE},
        {"a type past the list", 3, 35, "New", "", 7, 100, 50, 50, PAPPL_SUPPLY_TYPE_UNKNOWN,
         PAPPL_SUPPLY_COLOR_NO_COLOR, PAPPL_PREASON_NONE},
        {"a negative type", 3, -1, "Odd", "", 7, 100, 50, 50, PAPPL_SUPPLY_TYPE_UNKNOWN,
         PAPPL_SUPPLY_COLOR_NO_COLOR, PAPPL_PREASON_NONE},
    };
    for (const SupplyCase &c : cases) {
        SCOPED_TRACE(c.what);
        SupplyRow row;
        row.supply_class = c.supply_class;
        row.type = c.type;
        snprintf(row.description, sizeof(row.description), "%s", c.description);
        snprintf(row.colorant, sizeof(row.colorant), "%s", c.colorant);
        row.unit = c.unit;
        row.max_capacity = c.max_capacity;
        row.level = c.level;
        const pappl_supply_t supply = status_supply(row);
        EXPECT_EQ(supply.level, c.percent);
        EXPECT_EQ(supply.type, c.pappl_type);
        EXPECT_EQ(supply.color, c.color);
        EXPECT_STREQ(supply.description, c.description);
        EXPECT_EQ(supply.is_consumed, c.supply_class != 4);
        EXPECT_EQ(static_cast<unsigned>(status_supply_reasons(row)), c.reasons);
        EXPECT_EQ(static_cast<unsigned>(status_supply_reasons(row)) & ~kStatusOwnedReasons, 0u);
    }
}

TEST(PrinterStatus, OnlyASocketPrintersHostIsAsked)
{
    static const struct {
        const char *uri;
        const char *host; // nullptr: not asked
    } cases[] = {
        {"socket://192.168.1.20", "192.168.1.20"},
        {"socket://printer.example:9100", "printer.example"},
        {"socket://127.0.0.90:9100/?contimeout=30", "127.0.0.90"},
        {"socket://[fe80::1%25eth0]:9100", "fe80::1%25eth0"},
        {"socket://[::1]", "::1"},
        {"socket://[::1", nullptr},
        {"socket://", nullptr},
        {"socket://:9100", nullptr},
        {"file:///tmp/out", nullptr},
        {"usb://Quovel/R4410KX", nullptr},
        {nullptr, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.uri != nullptr ? c.uri : "(null)");
        char host[256] = "unchanged";
        const bool got = status_uri_host(c.uri, host, sizeof(host));
        EXPECT_EQ(got, c.host != nullptr);
        if (got && c.host != nullptr) {
            EXPECT_STREQ(host, c.host);
        }
    }
    // A host longer than the buffer is refused, not cut.
    const std::string uri = "socket://" + std::string(300, 'a') + ":9100";
    char host[256];
    EXPECT_FALSE(status_uri_host(uri.c_str(), host, sizeof(host)));
}

TEST(PrinterStatus, TheAgentsTextsBecomeValidUtf8WithinTheirBuffer)
{
    static const struct {
        const char *what;
        std::string in;
        size_t size;
        const char *out;
    } cases[] = {
        {"plain", "Black Toner", 64, "Black Toner"},
        {"trailing NULs and spaces", std::string("Toner  \0\0", 9), 64, "Toner"},
        {"Chinese in UTF-8", "\xe9\xbb\x91\xe8\x89\xb2", 64, "\xe9\xbb\x91\xe8\x89\xb2"},
        {"Latin-1 bytes", "Gr\xfcn", 64, "Gr?n"},
        {"a control character", "a\tb\x7f" "c", 64, "a?b?c"},
        {"a cut-off character", "ab\xe9\xbb", 64, "ab??"},
        {"a surrogate", "\xed\xa0\x80", 64, "???"},
        {"an overlong form", "\xe0\x80\xaf", 64, "???"},
        {"past U+10FFFF", "\xf4\x90\x80\x80", 64, "????"},
        {"four bytes", "\xf0\x9f\x96\xa8", 64, "\xf0\x9f\x96\xa8"},
        {"cut at the buffer", "abcdef", 4, "abc"},
        {"a character that does not fit whole", "ab\xe9\xbb\x91", 5, "ab"},
        {"empty", "", 8, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        char out[80];
        memset(out, 'Z', sizeof(out));
        status_text(reinterpret_cast<const unsigned char *>(c.in.data()), c.in.size(), out,
                    c.size);
        EXPECT_STREQ(out, c.out);
        EXPECT_EQ(out[c.size], 'Z') << "written past the buffer";
    }
}

} // namespace
