// The admission rules, applied to every job before a byte reaches the device.
#pragma once

#include <pappl/pappl.h>

#include "printer_app/device_id.h"

// Judges job on its printer's device, open as device: the system check, then
// the device ID that the device reports now (asked through query, at most
// kDeviceIdWait), then the printer's driver. A refused job gets the Chinese
// message as its job-state-message and the caller must return false, so
// that PAPPL aborts it. The caller keeps query until it is done with device.
bool gate_admit(pappl_job_t *job, pappl_device_t *device, DeviceIdQuery &query);
