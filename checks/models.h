// The supported Quovel models: how each names itself and what it can do.
// Everything that describes a printer to a user (the PPDs, the app's
// drivers) is made from this one table.
#pragma once

#include <cstddef>

const int kModelMaxMedia = 8;
const int kModelMaxResolutions = 4;

struct SupportedModel {
    const char *make;     // "Quovel"
    const char *model;    // "R4410KX series"
    const char *mfg;      // the device ID's MFG value
    const char *mdl;      // the device ID's MDL value
    const char *nickname; // the PPD's ShortNickName
    const char *driver;   // the app's driver name, and the PPD's file name
    const char *media[kModelMaxMedia]; // PWG size names, the default first
    int num_media;
    int margin; // the unprintable edge on every side, hundredths of a mm
    int resolutions[kModelMaxResolutions]; // dpi, the same across and down
    int num_resolutions;
    int default_resolution;
    bool duplex;
    bool color;
    int ppm;
};

int supported_model_count();

// Model number i, 0 <= i < supported_model_count().
const SupportedModel &supported_model(int i);

// The model whose MFG, MDL and CLS:PRINTER pairs all stand, whole and with
// exact case, somewhere in device_id; null when none.
const SupportedModel *model_by_device_id(const char *device_id);

// The model whose PPD nickname is nickname, as a whole text, in any case.
const SupportedModel *model_by_nickname(const char *nickname);

// The model whose app driver is named driver.
const SupportedModel *model_by_driver(const char *driver);

// The device ID that model reports ("MFG:Quovel;MDL:...;CLS:PRINTER;");
// false when it does not fit in size bytes.
bool model_device_id(const SupportedModel &model, char *buf, size_t size);
