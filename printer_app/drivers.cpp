// Drivers for the supported models: what each can do comes from the model
// table in checks/, so the app and the PPDs cannot disagree about it.
#include "printer_app/drivers.h"

#include <cstdio>
#include <cstring>

#include "checks/models.h"
#include "printer_app/icons.h"
#include "printer_app/jobs.h"
#include "printer_app/status.h"

namespace {

const int kMaxModels = 8;

struct ModelDriver {
    const SupportedModel *model;
    char description[128]; // "Quovel R4410KX series", also the make and model
    char device_id[256];   // the device ID that the model reports
};

ModelDriver models[kMaxModels];
pappl_pr_driver_t drivers[kMaxModels];
int num_models = 0;

const char *const kSources[] = {"main", "manual"};
const char *const kTypes[] = {"stationery", "stationery-heavyweight"};

void fill_models()
{
    if (num_models > 0)
        return;
    for (int i = 0; i < supported_model_count() && num_models < kMaxModels; i++) {
        ModelDriver &m = models[num_models];
        m.model = &supported_model(i);
        const int d = snprintf(m.description, sizeof(m.description), "%s %s", m.model->make,
                               m.model->model);
        if (d < 0 || static_cast<size_t>(d) >= sizeof(m.description) ||
            !model_device_id(*m.model, m.device_id, sizeof(m.device_id)))
            continue;
        drivers[num_models] = {m.model->driver, m.description, m.device_id, nullptr};
        num_models++;
    }
}

const ModelDriver *find_driver(const char *name)
{
    fill_models();
    for (int i = 0; name != nullptr && i < num_models; i++) {
        if (strcmp(models[i].model->driver, name) == 0)
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

void set_media(const SupportedModel &model, pappl_pr_driver_data_t *data)
{
    data->num_media = model.num_media;
    for (int i = 0; i < data->num_media; i++)
        data->media[i] = model.media[i];
    data->num_source = static_cast<int>(sizeof(kSources) / sizeof(kSources[0]));
    for (int i = 0; i < data->num_source; i++)
        data->source[i] = kSources[i];
    data->num_type = static_cast<int>(sizeof(kTypes) / sizeof(kTypes[0]));
    for (int i = 0; i < data->num_type; i++)
        data->type[i] = kTypes[i];
    data->left_right = model.margin;
    data->bottom_top = model.margin;

    pappl_media_col_t loaded{};
    const pwg_media_t *pwg = pwgMediaForPWG(model.media[0]);
    snprintf(loaded.size_name, sizeof(loaded.size_name), "%s", pwg->pwg);
    loaded.size_width = pwg->width;
    loaded.size_length = pwg->length;
    loaded.left_margin = loaded.right_margin = model.margin;
    loaded.top_margin = loaded.bottom_margin = model.margin;
    snprintf(loaded.source, sizeof(loaded.source), "%s", kSources[0]);
    snprintf(loaded.type, sizeof(loaded.type), "%s", kTypes[0]);
    data->media_default = loaded;
    data->media_ready[0] = loaded;
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
    const ModelDriver *found = find_driver(driver_name);
    if (found == nullptr) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "No driver named '%s'.",
                 driver_name != nullptr ? driver_name : "");
        return false;
    }

    const SupportedModel &model = *found->model;
    snprintf(data->make_and_model, sizeof(data->make_and_model), "%s", found->description);
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
    data->delete_cb = status_printer_deleted;
    data->identify_cb = identify;
    data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    data->kind = PAPPL_KIND_DOCUMENT;
    data->ppm = model.ppm;
    data->orient_default = IPP_ORIENT_PORTRAIT;

    // PostScript and PDF reach the printer in their own colours; raster comes
    // in 8-bit grey only: PAPPL 1.3.1 hands a 1-bit client raster to the
    // driver unconverted as the lines of the 8-bit page it announced, which
    // would print garbage.
    data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
    if (model.color)
        data->color_supported |= PAPPL_COLOR_MODE_COLOR;
    data->color_default = model.color ? PAPPL_COLOR_MODE_AUTO : PAPPL_COLOR_MODE_MONOCHROME;
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->scaling_default = PAPPL_SCALING_AUTO;

    data->sides_default = PAPPL_SIDES_ONE_SIDED;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED;
    data->duplex = PAPPL_DUPLEX_NONE;
    if (model.duplex) {
        data->duplex = PAPPL_DUPLEX_NORMAL;
        data->sides_supported |= PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    }

    data->num_resolution = model.num_resolutions;
    for (int i = 0; i < data->num_resolution; i++)
        data->x_resolution[i] = data->y_resolution[i] = model.resolutions[i];
    data->x_default = data->y_default = model.default_resolution;

    set_media(model, data);
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
    const SupportedModel *model = model_by_device_id(device_id);
    return model != nullptr ? model->driver : nullptr;
}

void driver_printer_created(pappl_printer_t *printer, void *cbdata)
{
    (void)cbdata;
    // The supplies and the state come from the printer's own agent.
    status_printer_created(printer);
}
