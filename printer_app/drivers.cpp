// Drivers for the supported models: what an office PostScript printer offers.
// Which models exist and how they name themselves comes from checks/, so the
// app and the filter cannot disagree about them.
#include "printer_app/drivers.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "checks/checks.h"
#include "printer_app/icons.h"
#include "printer_app/jobs.h"

namespace {

const int kMaxModels = 8;

struct ModelDriver {
    char name[64];         // "quovel-r4410kx"
    char description[128]; // "Quovel R4410KX series", also the make and model
    char device_id[256];   // the device ID that the model reports
};

ModelDriver models[kMaxModels];
pappl_pr_driver_t drivers[kMaxModels];
int num_models = 0;

// PWG names of the media offered: ISO and US office sizes and the two
// common business envelopes.
const char *const kMedia[] = {
    "iso_a4_210x297mm",         "iso_a5_148x210mm",         "iso_b5_176x250mm",
    "na_letter_8.5x11in",       "na_legal_8.5x14in",        "na_executive_7.25x10.5in",
    "iso_dl_110x220mm",         "na_number-10_4.125x9.5in", "iso_c5_162x229mm",
};
const char *const kSources[] = {"main", "manual"};
const char *const kTypes[] = {"stationery", "stationery-heavyweight", "envelope"};
const int kResolutions[] = {300, 600};

// 4.23 mm, the unprintable edge of most office laser printers.
const int kMargin = 423;

// The value of key in a device ID ("MFG:Quovel;" gives "Quovel").
bool id_value(const char *device_id, const char *key, char *buf, size_t size)
{
    const size_t keylen = strlen(key);
    for (const char *p = device_id; p != nullptr && *p != '\0';) {
        if (strncmp(p, key, keylen) == 0 && p[keylen] == ':') {
            const char *v = p + keylen + 1;
            const size_t len = strcspn(v, ";");
            if (len >= size)
                return false;
            memcpy(buf, v, len);
            buf[len] = '\0';
            return true;
        }
        p = strchr(p, ';');
        if (p != nullptr)
            p++;
    }
    return false;
}

void fill_models()
{
    if (num_models > 0)
        return;
    for (int i = 0; i < supportedModelCount() && num_models < kMaxModels; i++) {
        ModelDriver &m = models[num_models];
        char make[64], model[64];
        if (!supportedModelDeviceID(i, m.device_id, sizeof(m.device_id)) ||
            !supportedModelName(i, model, sizeof(model)) ||
            !id_value(m.device_id, "MFG", make, sizeof(make)))
            continue;
        // The driver's name is its maker and the model's first word, in lower
        // case: stable across releases, since saved printers refer to it.
        const int word = static_cast<int>(strcspn(model, " "));
        const int d = snprintf(m.description, sizeof(m.description), "%s %s", make, model);
        const int n = snprintf(m.name, sizeof(m.name), "%s-%.*s", make, word, model);
        if (d < 0 || static_cast<size_t>(d) >= sizeof(m.description) || n < 0 ||
            static_cast<size_t>(n) >= sizeof(m.name))
            continue;
        for (char *c = m.name; *c != '\0'; c++)
            *c = static_cast<char>(tolower(static_cast<unsigned char>(*c)));
        drivers[num_models] = {m.name, m.description, m.device_id, nullptr};
        num_models++;
    }
}

const ModelDriver *find_driver(const char *name)
{
    fill_models();
    for (int i = 0; name != nullptr && i < num_models; i++) {
        if (strcmp(models[i].name, name) == 0)
            return &models[i];
    }
    return nullptr;
}

void identify(pappl_printer_t *printer, pappl_identify_actions_t actions, const char *message)
{
    // A PostScript printer has no light or sound we could reach; the request
    // is recorded so that an administrator sees it arrived.
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer (actions %u): %s",
                    static_cast<unsigned>(actions), message != nullptr ? message : "");
}

void set_media(pappl_pr_driver_data_t *data)
{
    data->num_media = static_cast<int>(sizeof(kMedia) / sizeof(kMedia[0]));
    for (int i = 0; i < data->num_media; i++)
        data->media[i] = kMedia[i];
    data->num_source = static_cast<int>(sizeof(kSources) / sizeof(kSources[0]));
    for (int i = 0; i < data->num_source; i++)
        data->source[i] = kSources[i];
    data->num_type = static_cast<int>(sizeof(kTypes) / sizeof(kTypes[0]));
    for (int i = 0; i < data->num_type; i++)
        data->type[i] = kTypes[i];
    data->left_right = kMargin;
    data->bottom_top = kMargin;

    pappl_media_col_t a4{};
    const pwg_media_t *pwg = pwgMediaForPWG("iso_a4_210x297mm");
    snprintf(a4.size_name, sizeof(a4.size_name), "%s", pwg->pwg);
    a4.size_width = pwg->width;
    a4.size_length = pwg->length;
    a4.left_margin = a4.right_margin = kMargin;
    a4.top_margin = a4.bottom_margin = kMargin;
    snprintf(a4.source, sizeof(a4.source), "%s", kSources[0]);
    snprintf(a4.type, sizeof(a4.type), "%s", kTypes[0]);
    data->media_default = a4;
    data->media_ready[0] = a4;
    pappl_media_col_t envelope = a4;
    pwg = pwgMediaForPWG("iso_dl_110x220mm");
    snprintf(envelope.size_name, sizeof(envelope.size_name), "%s", pwg->pwg);
    envelope.size_width = pwg->width;
    envelope.size_length = pwg->length;
    snprintf(envelope.source, sizeof(envelope.source), "%s", kSources[1]);
    snprintf(envelope.type, sizeof(envelope.type), "%s", "envelope");
    data->media_ready[1] = envelope;
}

} // namespace

int drivers_list(pappl_pr_driver_t **list)
{
    fill_models();
    *list = drivers;
    return num_models;
}

bool driver_setup(pappl_system_t *system, const char *driver_name, const char *device_uri,
                  const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs,
                  void *cbdata)
{
    (void)device_uri;
    (void)device_id;
    (void)cbdata;
    const ModelDriver *m = find_driver(driver_name);
    if (m == nullptr) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "No driver named '%s'.",
                 driver_name != nullptr ? driver_name : "");
        return false;
    }

    snprintf(data->make_and_model, sizeof(data->make_and_model), "%s", m->description);
    data->format = "application/postscript";
    // PostScript goes through a MIME filter to itself (see jobs.h), which
    // PAPPL prefers to a print-file call.
    data->rstartjob_cb = jobs_raster_start_job;
    data->rstartpage_cb = jobs_raster_start_page;
    data->rwriteline_cb = jobs_raster_write_line;
    data->rendpage_cb = jobs_raster_end_page;
    data->rendjob_cb = jobs_raster_end_job;
    data->icons[0] = {"", kIcon_sm, kIcon_sm_size};
    data->icons[1] = {"", kIcon_md, kIcon_md_size};
    data->icons[2] = {"", kIcon_lg, kIcon_lg_size};
    data->has_supplies = true; // else PAPPL leaves out the supplies page
    data->identify_cb = identify;
    data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    data->kind = PAPPL_KIND_DOCUMENT | PAPPL_KIND_ENVELOPE;
    data->ppm = 30;
    data->orient_default = IPP_ORIENT_PORTRAIT;

    // Both models print black toner only. Raster comes in 8-bit grey only:
    // PAPPL 1.3.1 hands a 1-bit client raster to the driver unconverted as
    // the lines of the 8-bit page it announced, which would print garbage.
    data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->scaling_default = PAPPL_SCALING_AUTO;

    data->duplex = PAPPL_DUPLEX_NORMAL;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE |
                            PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;

    data->num_resolution = static_cast<int>(sizeof(kResolutions) / sizeof(kResolutions[0]));
    for (int i = 0; i < data->num_resolution; i++)
        data->x_resolution[i] = data->y_resolution[i] = kResolutions[i];
    data->x_default = data->y_default = 600;

    set_media(data);
    data->num_bin = 1;
    data->bin[0] = "face-down";

    // PDF goes through pdftopdf, which lays out several pages to a sheet.
    data->num_vendor = 1;
    data->vendor[0] = "number-up";
    static const int kNumberUp[] = {1, 2, 4, 6, 9, 16};
    if (*attrs == nullptr)
        *attrs = ippNew();
    ippAddInteger(*attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "number-up-default", 1);
    ippAddIntegers(*attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "number-up-supported",
                   static_cast<int>(sizeof(kNumberUp) / sizeof(kNumberUp[0])), kNumberUp);

    // What IPP Everywhere asks every printer to state and PAPPL 1.3.1 leaves
    // to the driver. Rendering is the printer's own, hence "auto".
    static const char *const kOverrides[] = {"document-number", "pages"};
    ippAddBoolean(*attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
    ippAddStrings(*attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "overrides-supported",
                  2, nullptr, kOverrides);
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD),
                 "print-rendering-intent-default", nullptr, "auto");
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD),
                 "print-rendering-intent-supported", nullptr, "auto");
    return true;
}

const char *driver_for_device(const char *device_info, const char *device_uri,
                              const char *device_id, void *cbdata)
{
    (void)device_info;
    (void)device_uri;
    (void)cbdata;
    fill_models();
    const int model = supportedModelOf(device_id);
    if (model < 0)
        return nullptr;
    for (int i = 0; i < num_models; i++) {
        if (supportedModelOf(drivers[i].device_id) == model)
            return drivers[i].name;
    }
    return nullptr;
}

const char *driver_of_printer(pappl_printer_t *printer)
{
    const ModelDriver *m = find_driver(papplPrinterGetDriverName(printer));
    return m != nullptr ? m->name : nullptr;
}

void driver_printer_created(pappl_printer_t *printer, void *cbdata)
{
    (void)cbdata;
    // The toner's level is not something the device tells us; IPP clients
    // still expect a supply to show.
    pappl_supply_t toner{};
    toner.color = PAPPL_SUPPLY_COLOR_BLACK;
    snprintf(toner.description, sizeof(toner.description), "%s", "Black Toner");
    toner.is_consumed = true;
    toner.level = -1;
    toner.type = PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE;
    papplPrinterSetSupplies(printer, 1, &toner);
}
