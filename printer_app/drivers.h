// The two drivers, one per supported model, and the choice of driver from a
// device ID.
#pragma once

#include <pappl/pappl.h>

// Fills the driver list from the support table; call once before use.
// Returns the number of drivers; *list points at static storage.
int drivers_list(pappl_pr_driver_t **list);

// PAPPL's driver callback: the capabilities of driver_name.
bool driver_setup(pappl_system_t *system, const char *driver_name, const char *device_uri,
                  const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs,
                  void *cbdata);

// PAPPL's auto-add callback: the driver for the model that the device ID
// names, or null so that PAPPL refuses the device.
const char *driver_for_device(const char *device_info, const char *device_uri,
                              const char *device_id, void *cbdata);

// PAPPL's printer creation callback: what every printer starts with.
void driver_printer_created(pappl_printer_t *printer, void *cbdata);
