// The admission rules, applied to every job before a byte reaches the device.
#pragma once

#include <pappl/pappl.h>

// The longest wait for a device to name itself: a printer that answers no
// sooner is judged by its driver. No job waits more than 2 s for its device
// ID; the rest is room for sending the queries.
const int kDeviceIdWaitMs = 1500;

// Judges job on its printer's device, open as device: the system check, then
// the device ID that the device reports now, then the printer's driver. A
// refused job gets the Chinese message as its job-state-message and the
// caller must return false, so that PAPPL aborts it.
bool gate_admit(pappl_job_t *job, pappl_device_t *device);
