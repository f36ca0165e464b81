// The app's languages for PAPPL's localization.
#include "printer_app/strings.h"

#include <cstdio>

// Bytes, as CMake writes them; each ends in a NUL.
extern const unsigned char kStrings_en[];
extern const unsigned char kStrings_zh_CN[];

namespace {

const char *text(const unsigned char *bytes)
{
    return reinterpret_cast<const char *>(bytes);
}

// PAPPL 1.3.1 tries each Accept-Language tag whole, then cut to its first
// two letters: "zh" catches zh-Hans, zh-Hans-CN and zh-SG, which a six-byte
// buffer there would never match whole, and a browser's plain "zh".
const AppLanguage kLanguages[] = {
    {"en", text(kStrings_en)},
    {"zh-CN", text(kStrings_zh_CN)},
    {"zh", text(kStrings_zh_CN)},
};

} // namespace

const AppLanguage *strings_languages(int *count)
{
    *count = static_cast<int>(sizeof(kLanguages) / sizeof(kLanguages[0]));
    return kLanguages;
}

void strings_add(pappl_system_t *system)
{
    for (const AppLanguage &l : kLanguages) {
        char path[64];
        snprintf(path, sizeof(path), "/strings/%s.strings", l.tag);
        papplSystemAddStringsData(system, path, l.tag, l.text);
    }
}

void strings_add_default()
{
    for (const AppLanguage &l : kLanguages)
        papplLocAddDefaultStringsData(l.tag, l.text);
}
