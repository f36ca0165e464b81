// Jobs that a crash or a kill left mid-print.
#pragma once

#include <pappl/pappl.h>

// Loads the saved state in place of papplMainloop, which then leaves it
// alone, from the file where papplMainloop would, and saves it from then on
// through a temporary file renamed over it: PAPPL 1.3.1 rewrites the file in
// place, so that the app killed mid-save comes back with no printers.
//
// Before loading, jobs that were printing when the app died are marked
// pending again, so that they print from the start (as a CUPS server does):
// PAPPL 1.3.1 reloads them as "processing" and never starts them, so that
// they and the queue behind them hang and their documents stay in the
// spool. Call it once the drivers are set.
void recovery_load_state(pappl_system_t *system, const char *base_name);
