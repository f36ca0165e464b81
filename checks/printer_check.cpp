// Printer identification: the IEEE 1284 device ID from the backend, or the
// PPD's nickname when the backend can't tell.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <cups/ppd.h>
#include <cups/sidechannel.h>

#include "checks/checks.h"
#include "common/cancel.h"

namespace {

const int kNameSlot = 64;

struct DeviceIdRow {
    char mfg[kNameSlot];
    char mdl[kNameSlot];
    char cls[kNameSlot];
};

const DeviceIdRow SupportDeviceID[] = {
    {"MFG:Quovel;", "MDL:R4410KX series;", "CLS:PRINTER;"},
    {"MFG:Quovel;", "MDL:L8120KX series;", "CLS:PRINTER;"},
};

const char *const kSupportNickNames[] = {
    "R4410KX Series PS",
    "L8120KX Series PS",
};

// A backend may hold the job for up to three hours before we fall back on the
// PPD.
const double kSideChannelTimeout = 10800.0;

// The PPD API is deprecated in libcups but remains the way to read a queue's
// PPD from a filter; the warning is silenced for these calls only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

ppd_file_t *open_queue_ppd()
{
    const char *name = getenv("PPD");
    return name != nullptr ? ppdOpenFile(name) : nullptr;
}

void close_queue_ppd(ppd_file_t *ppd)
{
    if (ppd != nullptr)
        ppdClose(ppd);
}

bool nickname_supported(ppd_file_t *ppd)
{
    ppd_attr_t *attr = ppd != nullptr ? ppdFindAttr(ppd, "ShortNickName", nullptr) : nullptr;
    if (attr == nullptr || attr->value == nullptr)
        return false;

    fprintf(stderr, "attr->value :%s.\n", attr->value);
    for (const char *nick : kSupportNickNames) {
        if (strcasecmp(attr->value, nick) == 0)
            return true;
    }
    return false;
}

#pragma GCC diagnostic pop

// Each pair of a row is looked for anywhere in the text, whole and with exact
// case, so that other pairs between or around them do not matter.
bool row_matches(const DeviceIdRow &row, const char *device_id)
{
    return strstr(device_id, row.mfg) != nullptr && strstr(device_id, row.mdl) != nullptr &&
           strstr(device_id, row.cls) != nullptr;
}

} // namespace

bool query1284info(char *device_id, int *len)
{
    const int capacity = *len;
    // libcups's own request waits out its whole time-out through any signal,
    // so the filter waits for the answer itself and lets a cancel end the wait.
    cups_sc_command_t command = CUPS_SC_CMD_NONE;
    cups_sc_status_t status = CUPS_SC_STATUS_TIMEOUT;
    if (cupsSideChannelWrite(CUPS_SC_CMD_GET_DEVICE_ID, CUPS_SC_STATUS_NONE, nullptr, 0, kSideChannelTimeout) == 0 &&
        wait_readable(CUPS_SC_FD, kSideChannelTimeout) &&
        cupsSideChannelRead(&command, &status, device_id, len, kSideChannelTimeout) == 0 &&
        command == CUPS_SC_CMD_GET_DEVICE_ID && status == CUPS_SC_STATUS_OK && *len > 0 && *len <= capacity) {
        device_id[*len] = '\0';
        return true;
    }
    device_id[0] = '\0';
    // A cancelled job is not short of a device ID; it just ends.
    if (job_canceled == 0)
        fputs("cups api can't find 1284 information.\n", stderr);
    return false;
}

bool isSupportPrinter(const char *device_id, bool got_device_id)
{
    ppd_file_t *ppd = open_queue_ppd();
    bool supported = !got_device_id && nickname_supported(ppd);
    close_queue_ppd(ppd);
    if (supported)
        return true;

    if (isSupportDeviceID(device_id))
        supported = true;
    return supported;
}

bool isSupportDeviceID(const char *device_id)
{
    return supportedModelOf(device_id) >= 0;
}

int supportedModelOf(const char *device_id)
{
    if (device_id == nullptr)
        return -1;
    for (int i = 0; i < supportedModelCount(); i++) {
        if (row_matches(SupportDeviceID[i], device_id))
            return i;
    }
    return -1;
}

int supportedModelCount()
{
    return static_cast<int>(sizeof(SupportDeviceID) / sizeof(SupportDeviceID[0]));
}

bool supportedModelDeviceID(int model, char *buf, size_t size)
{
    if (model < 0 || model >= supportedModelCount() || buf == nullptr)
        return false;
    const DeviceIdRow &row = SupportDeviceID[model];
    const int n = snprintf(buf, size, "%s%s%s", row.mfg, row.mdl, row.cls);
    return n >= 0 && static_cast<size_t>(n) < size;
}

bool supportedModelName(int model, char *buf, size_t size)
{
    if (model < 0 || model >= supportedModelCount() || buf == nullptr)
        return false;
    // The slot is a whole "MDL:<name>;" pair; callers want the name alone.
    const char *mdl = SupportDeviceID[model].mdl;
    const char *name = strchr(mdl, ':');
    name = name != nullptr ? name + 1 : mdl;
    size_t len = strlen(name);
    if (len > 0 && name[len - 1] == ';')
        len--;
    if (len >= size)
        return false;
    memcpy(buf, name, len);
    buf[len] = '\0';
    return true;
}
