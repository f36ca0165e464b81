#include "checks/models.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

const char kPrinterClass[] = "PRINTER";

// One entry per supported model. What the two offer is kept to what the
// PPDs promised from the first release, plus two-sided; docs/models.md says
// why.
const SupportedModel SupportDeviceID[] = {
    {"Quovel", "R4410KX series", "Quovel", "R4410KX series", "R4410KX Series PS",
     "quovel-r4410kx", {"iso_a4_210x297mm", "na_letter_8.5x11in"}, 2,
     635, {300, 600}, 2, 600, true, false, 20},
    {"Quovel", "L8120KX series", "Quovel", "L8120KX series", "L8120KX Series PS",
     "quovel-l8120kx", {"iso_a4_210x297mm", "na_letter_8.5x11in"}, 2,
     635, {300, 600}, 2, 600, true, false, 20},
};

// A device ID is a run of "KEY:value;" pairs; a pair counts when it stands
// whole anywhere in the text, so that other pairs around it do not matter.
bool has_pair(const char *device_id, const char *key, const char *value)
{
    char pair[64];
    const int n = snprintf(pair, sizeof(pair), "%s:%s;", key, value);
    return n > 0 && static_cast<size_t>(n) < sizeof(pair) && strstr(device_id, pair) != nullptr;
}

template <typename Match> const SupportedModel *first_model(Match match)
{
    const SupportedModel *end = SupportDeviceID + sizeof(SupportDeviceID) / sizeof(SupportDeviceID[0]);
    const SupportedModel *found = std::find_if(SupportDeviceID, end, match);
    return found != end ? found : nullptr;
}

} // namespace

int supported_model_count()
{
    return static_cast<int>(sizeof(SupportDeviceID) / sizeof(SupportDeviceID[0]));
}

const SupportedModel &supported_model(int i)
{
    return SupportDeviceID[i];
}

const SupportedModel *model_by_device_id(const char *device_id)
{
    if (device_id == nullptr)
        return nullptr;
    return first_model([device_id](const SupportedModel &m) {
        return has_pair(device_id, "MFG", m.mfg) && has_pair(device_id, "MDL", m.mdl) &&
               has_pair(device_id, "CLS", kPrinterClass);
    });
}

const SupportedModel *model_by_nickname(const char *nickname)
{
    if (nickname == nullptr)
        return nullptr;
    return first_model(
        [nickname](const SupportedModel &m) { return strcasecmp(nickname, m.nickname) == 0; });
}

const SupportedModel *model_by_driver(const char *driver)
{
    if (driver == nullptr)
        return nullptr;
    return first_model([driver](const SupportedModel &m) { return strcmp(driver, m.driver) == 0; });
}

bool model_device_id(const SupportedModel &model, char *buf, size_t size)
{
    const int n = snprintf(buf, size, "MFG:%s;MDL:%s;CLS:%s;", model.mfg, model.mdl, kPrinterClass);
    return n > 0 && static_cast<size_t>(n) < size;
}
