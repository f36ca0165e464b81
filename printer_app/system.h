// The PAPPL system object: where the app keeps its state, how it listens,
// and what it converts.
#pragma once

#include <pappl/pappl.h>

extern const char kAppName[];
extern const char kFooterHTML[];
extern const char kAdminGroup[];

// PAPPL's system callback: a system made from the usual options
// (-o server-port=, listen-hostname=, log-file=, log-level=,
// spool-directory=, server-options=, ...), with our drivers and the PDF
// conversion registered.
pappl_system_t *system_create(int num_options, cups_option_t *options, void *data);
