// What the filter finds out about this machine and the queue's printer, and
// the admission decision taken on it.
#pragma once

#include <cstddef>

#include "checks/admission.h"

// Fills text (size bytes) with the first read of /etc/issue through cat, a
// terminated text, empty when nothing came; writes it to standard error as
// "SystemInfo: ...".
void getSystemInfo(char *text, size_t size);

// Asks the queue's backend over the side channel for the printer's IEEE 1284
// device ID. *len holds the capacity of device_id on entry (one less than its
// size) and the number of bytes received on return. device_id always ends up
// a terminated text: the device ID, or the empty text when none came. Waits
// up to three hours for the backend, but a cancel (job_canceled, see
// common/cancel.h) ends the wait within a second, with false and no message.
bool query1284info(char *device_id, int *len);

// Fills name (size bytes) with the ShortNickName of the PPD that the PPD
// variable names and writes it to standard error; false, silently, when
// there is no such PPD or attribute.
bool getShortNickName(char *name, size_t size);

// The admission decision for this job, with what the steps above find out,
// each asked only when the decision needs it.
Admission judge_job();
