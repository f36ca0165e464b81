// The Printer MIB's words for a printer's state and supplies, in IPP's.
#include "printer_app/status_map.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <numeric>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <strings.h>

namespace {

// hrPrinterDetectedErrorState's bits (RFC 2790 and RFC 3805), most urgent
// first. A message marks a condition that keeps the printer from printing;
// the others are warnings. PAPPL has no keyword for a full or missing output
// tray or a missing supply: those are "other".
struct ErrorBit {
    int byte;
    unsigned char mask;
    pappl_preason_t reason;
    const char *message;
};

const ErrorBit kErrorBits[] = {
    {0, 0x04, PAPPL_PREASON_MEDIA_JAM, "Paper is jammed in the printer."},
    {0, 0x08, PAPPL_PREASON_DOOR_OPEN, "The printer's door is open."},
    {0, 0x40, PAPPL_PREASON_MEDIA_EMPTY, "The printer is out of paper."},
    {0, 0x10, PAPPL_PREASON_TONER_EMPTY, "The printer is out of toner."},
    {1, 0x80, PAPPL_PREASON_INPUT_TRAY_MISSING, "A paper tray is missing from the printer."},
    {1, 0x40, PAPPL_PREASON_OTHER, "The printer's output tray is missing."},
    {1, 0x08, PAPPL_PREASON_OTHER, "The printer's output tray is full."},
    {1, 0x20, PAPPL_PREASON_OTHER, "A supply is missing from the printer."},
    {0, 0x02, PAPPL_PREASON_OFFLINE, "The printer is offline."},
    {0, 0x80, PAPPL_PREASON_MEDIA_LOW, nullptr},        // lowPaper
    {0, 0x20, PAPPL_PREASON_TONER_LOW, nullptr},        // lowToner
    {1, 0x04, PAPPL_PREASON_MEDIA_LOW, nullptr},        // inputTrayEmpty: other trays may feed
    {0, 0x01, PAPPL_PREASON_OTHER, nullptr},            // serviceRequested
};

const int kDeviceDown = 5; // hrDeviceStatus down(5)
const char kDownMessage[] = "The printer has stopped.";

// prtMarkerSuppliesType (RFC 3805) to PAPPL's types; the value is the row's
// number, from other(1) to covers(34).
const pappl_supply_type_t kTypes[] = {
    PAPPL_SUPPLY_TYPE_UNKNOWN,            // 0, not a value
    PAPPL_SUPPLY_TYPE_OTHER,              // other
    PAPPL_SUPPLY_TYPE_UNKNOWN,            // unknown
    PAPPL_SUPPLY_TYPE_TONER,              // toner
    PAPPL_SUPPLY_TYPE_WASTE_TONER,        // wasteToner
    PAPPL_SUPPLY_TYPE_INK,                // ink
    PAPPL_SUPPLY_TYPE_INK_CARTRIDGE,      // inkCartridge
    PAPPL_SUPPLY_TYPE_INK_RIBBON,         // inkRibbon
    PAPPL_SUPPLY_TYPE_WASTE_INK,          // wasteInk
    PAPPL_SUPPLY_TYPE_OPC,                // opc
    PAPPL_SUPPLY_TYPE_DEVELOPER,          // developer
    PAPPL_SUPPLY_TYPE_FUSER_OIL,          // fuserOil
    PAPPL_SUPPLY_TYPE_SOLID_WAX,          // solidWax
    PAPPL_SUPPLY_TYPE_RIBBON_WAX,         // ribbonWax
    PAPPL_SUPPLY_TYPE_WASTE_WAX,          // wasteWax
    PAPPL_SUPPLY_TYPE_FUSER,              // fuser
    PAPPL_SUPPLY_TYPE_CORONA_WIRE,        // coronaWire
    PAPPL_SUPPLY_TYPE_FUSER_OIL_WICK,     // fuserOilWick
    PAPPL_SUPPLY_TYPE_CLEANER_UNIT,       // cleanerUnit
    PAPPL_SUPPLY_TYPE_FUSER_CLEANING_PAD, // fuserCleaningPad
    PAPPL_SUPPLY_TYPE_TRANSFER_UNIT,      // transferUnit
    PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE,    // tonerCartridge
    PAPPL_SUPPLY_TYPE_FUSER_OILER,        // fuserOiler
    PAPPL_SUPPLY_TYPE_WATER,              // water
    PAPPL_SUPPLY_TYPE_WASTE_WATER,        // wasteWater
    PAPPL_SUPPLY_TYPE_GLUE_WATER_ADDITIVE, // glueWaterAdditive
    PAPPL_SUPPLY_TYPE_WASTE_PAPER,        // wastePaper
    PAPPL_SUPPLY_TYPE_BINDING_SUPPLY,     // bindingSupply
    PAPPL_SUPPLY_TYPE_BANDING_SUPPLY,     // bandingSupply
    PAPPL_SUPPLY_TYPE_STITCHING_WIRE,     // stitchingWire
    PAPPL_SUPPLY_TYPE_SHRINK_WRAP,        // shrinkWrap
    PAPPL_SUPPLY_TYPE_PAPER_WRAP,         // paperWrap
    PAPPL_SUPPLY_TYPE_STAPLES,            // staples
    PAPPL_SUPPLY_TYPE_INSERTS,            // inserts
    PAPPL_SUPPLY_TYPE_COVERS,             // covers
};

const int kClassReceptacle = 4; // receptacleThatIsFilled
const int kUnitPercent = 19;    // prtMarkerSuppliesSupplyUnit percent(19)

struct ColorName {
    const char *name;
    pappl_supply_color_t color;
};

// Longer names first, so that "light cyan" is not taken for cyan.
const ColorName kColors[] = {
    {"light cyan", PAPPL_SUPPLY_COLOR_LIGHT_CYAN},
    {"light magenta", PAPPL_SUPPLY_COLOR_LIGHT_MAGENTA},
    {"light gray", PAPPL_SUPPLY_COLOR_LIGHT_GRAY},
    {"light grey", PAPPL_SUPPLY_COLOR_LIGHT_GRAY},
    {"photo black", PAPPL_SUPPLY_COLOR_BLACK},
    {"matte black", PAPPL_SUPPLY_COLOR_BLACK},
    {"black", PAPPL_SUPPLY_COLOR_BLACK},
    {"cyan", PAPPL_SUPPLY_COLOR_CYAN},
    {"magenta", PAPPL_SUPPLY_COLOR_MAGENTA},
    {"yellow", PAPPL_SUPPLY_COLOR_YELLOW},
    {"gray", PAPPL_SUPPLY_COLOR_GRAY},
    {"grey", PAPPL_SUPPLY_COLOR_GRAY},
    {"green", PAPPL_SUPPLY_COLOR_GREEN},
    {"orange", PAPPL_SUPPLY_COLOR_ORANGE},
    {"violet", PAPPL_SUPPLY_COLOR_VIOLET},
    {"multi-color", PAPPL_SUPPLY_COLOR_MULTIPLE},
    {"multicolor", PAPPL_SUPPLY_COLOR_MULTIPLE},
};

// Whether text holds word as a whole word, ignoring case.
bool has_word(const char *text, const char *word)
{
    const size_t len = strlen(word);
    for (const char *p = text; *p != '\0'; p++) {
        if (strncasecmp(p, word, len) != 0)
            continue;
        const bool starts = p == text || isalpha(static_cast<unsigned char>(p[-1])) == 0;
        const bool ends = isalpha(static_cast<unsigned char>(p[len])) == 0;
        if (starts && ends)
            return true;
    }
    return false;
}

// The colorant's own name decides; without one, the supply's description.
pappl_supply_color_t color_of(const SupplyRow &row)
{
    for (const char *text : {row.colorant, row.description}) {
        const auto found = std::find_if(std::begin(kColors), std::end(kColors),
                                        [text](const ColorName &c) { return has_word(text, c.name); });
        if (found != std::end(kColors))
            return found->color;
    }
    return PAPPL_SUPPLY_COLOR_NO_COLOR;
}

// The level as a percentage of the capacity, or -1 when there is no number
// to give.
int percent_of(const SupplyRow &row)
{
    if (row.level < 0)
        return -1;
    if (row.max_capacity > 0) {
        const long long pct = (static_cast<long long>(row.level) * 100 + row.max_capacity / 2) /
                              row.max_capacity;
        return pct > 100 ? 100 : static_cast<int>(pct);
    }
    if (row.unit == kUnitPercent && row.level <= 100)
        return row.level;
    return -1;
}

bool is_toner(int type)
{
    return type == 3 || type == 21; // toner, tonerCartridge
}

} // namespace

const pappl_preason_t kStatusOwnedReasons = static_cast<pappl_preason_t>(
    PAPPL_PREASON_OTHER | PAPPL_PREASON_INPUT_TRAY_MISSING | PAPPL_PREASON_MARKER_SUPPLY_EMPTY |
    PAPPL_PREASON_MARKER_SUPPLY_LOW | PAPPL_PREASON_MARKER_WASTE_ALMOST_FULL |
    PAPPL_PREASON_MARKER_WASTE_FULL | PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_MEDIA_JAM |
    PAPPL_PREASON_MEDIA_LOW | PAPPL_PREASON_OFFLINE | PAPPL_PREASON_TONER_EMPTY |
    PAPPL_PREASON_TONER_LOW | PAPPL_PREASON_DOOR_OPEN);

pappl_preason_t status_reasons(const PrinterReport &report)
{
    if (!report.answered)
        return PAPPL_PREASON_OFFLINE;
    unsigned reasons = std::accumulate(std::begin(kErrorBits), std::end(kErrorBits),
                                       unsigned{PAPPL_PREASON_NONE},
                                       [&report](unsigned sum, const ErrorBit &b) {
                                           return (report.errors[b.byte] & b.mask) != 0 ? sum | b.reason : sum;
                                       });
    if (report.device_status == kDeviceDown && status_stop_message(report) == kDownMessage)
        reasons |= PAPPL_PREASON_OTHER;
    return static_cast<pappl_preason_t>(reasons);
}

const char *status_stop_message(const PrinterReport &report)
{
    if (!report.answered)
        return nullptr;
    const auto found = std::find_if(std::begin(kErrorBits), std::end(kErrorBits), [&report](const ErrorBit &b) {
        return b.message != nullptr && (report.errors[b.byte] & b.mask) != 0;
    });
    if (found != std::end(kErrorBits))
        return found->message;
    return report.device_status == kDeviceDown ? kDownMessage : nullptr;
}

pappl_supply_t status_supply(const SupplyRow &row)
{
    pappl_supply_t supply{};
    snprintf(supply.description, sizeof(supply.description), "%s", row.description);
    supply.color = color_of(row);
    supply.is_consumed = row.supply_class != kClassReceptacle;
    supply.level = percent_of(row);
    const bool known = row.type >= 0 && static_cast<size_t>(row.type) < sizeof(kTypes) / sizeof(kTypes[0]);
    supply.type = known ? kTypes[row.type] : PAPPL_SUPPLY_TYPE_UNKNOWN;
    return supply;
}

pappl_preason_t status_supply_reasons(const SupplyRow &row)
{
    const int pct = percent_of(row);
    if (pct < 0 || pct > kStatusLowPercent)
        return PAPPL_PREASON_NONE;
    // A receptacle's level is the room left in it.
    if (row.supply_class == kClassReceptacle)
        return pct == 0 ? PAPPL_PREASON_MARKER_WASTE_FULL : PAPPL_PREASON_MARKER_WASTE_ALMOST_FULL;
    // Clients look for either word on toner.
    if (is_toner(row.type))
        return static_cast<pappl_preason_t>(
            pct == 0 ? PAPPL_PREASON_TONER_EMPTY | PAPPL_PREASON_MARKER_SUPPLY_EMPTY
                     : PAPPL_PREASON_TONER_LOW | PAPPL_PREASON_MARKER_SUPPLY_LOW);
    return pct == 0 ? PAPPL_PREASON_MARKER_SUPPLY_EMPTY : PAPPL_PREASON_MARKER_SUPPLY_LOW;
}

bool status_uri_host(const char *uri, char *host, size_t size)
{
    static const char kScheme[] = "socket://";
    if (uri == nullptr || strncmp(uri, kScheme, sizeof(kScheme) - 1) != 0)
        return false;
    const char *start = uri + sizeof(kScheme) - 1;
    size_t len;
    if (*start == '[') {
        start++;
        const char *close = strchr(start, ']');
        if (close == nullptr)
            return false;
        len = static_cast<size_t>(close - start);
    } else {
        len = strcspn(start, ":/?#");
    }
    if (len == 0 || len >= size)
        return false;
    memcpy(host, start, len);
    host[len] = '\0';
    return true;
}

void status_text(const unsigned char *data, size_t len, char *out, size_t size)
{
    if (size == 0)
        return;
    while (len > 0 && (data[len - 1] == '\0' || data[len - 1] == ' '))
        len--;
    size_t o = 0;
    for (size_t i = 0; i < len;) {
        const unsigned char c = data[i];
        size_t n = 1; // bytes of this character
        if (c >= 0xc2 && c <= 0xdf)
            n = 2;
        else if (c >= 0xe0 && c <= 0xef)
            n = 3;
        else if (c >= 0xf0 && c <= 0xf4)
            n = 4;
        bool valid = n > 1 || (c >= 0x20 && c < 0x7f);
        for (size_t k = 1; valid && k < n; k++)
            valid = i + k < len && (data[i + k] & 0xc0) == 0x80;
        // Overlong three-byte forms, UTF-16 surrogates and code points past
        // U+10FFFF are not UTF-8 either.
        if (valid && n == 3)
            valid = !(c == 0xe0 && data[i + 1] < 0xa0) && !(c == 0xed && data[i + 1] >= 0xa0);
        if (valid && n == 4)
            valid = !(c == 0xf0 && data[i + 1] < 0x90) && !(c == 0xf4 && data[i + 1] >= 0x90);
        if (!valid)
            n = 1;
        if (o + n >= size)
            break;
        if (valid)
            memcpy(out + o, data + i, n);
        else
            out[o] = '?';
        o += n;
        i += n;
    }
    out[o] = '\0';
}
