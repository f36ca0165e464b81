// Whether this machine and this queue's printer may print.
#pragma once

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
