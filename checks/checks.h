// Whether this machine and this queue's printer may print.
#pragma once

#include <cstddef>

// True when the text of /etc/issue, read through cat, names a supported system.
bool isSupportSystem();

// Asks the queue's backend over the side channel for the printer's IEEE 1284
// device ID. *len holds the capacity of device_id on entry (one less than its
// size) and the number of bytes received on return. device_id always ends up
// a terminated text: the device ID, or the empty text when none came. Waits
// up to three hours for the backend, but a cancel (job_canceled, see
// common/cancel.h) ends the wait within a second, with false and no message.
bool query1284info(char *device_id, int *len);

// True when the device ID names a supported model or, when no device ID was
// received, when the PPD's ShortNickName does.
bool isSupportPrinter(const char *device_id, bool got_device_id);

// True when the device ID text names a supported model: the one rule that the
// filter and the Printer Application share.
bool isSupportDeviceID(const char *device_id);

// The supported models, numbered from 0 in the order of the support table.
int supportedModelCount();

// The number of the supported model that the device ID names, or -1.
int supportedModelOf(const char *device_id);

// The device ID that supported model `model` reports (its manufacturer, model
// and class pairs), or its model name alone ("R4410KX series"). False when
// there is no such model or buf (of size bytes) is too small.
bool supportedModelDeviceID(int model, char *buf, size_t size);
bool supportedModelName(int model, char *buf, size_t size);
