// Jobs that a crash or a kill left mid-print.
#pragma once

#include <pappl/pappl.h>

// PAPPL 1.3.1 reloads a job that was printing when the app died as
// "processing" and never starts it again, so that it, and the queue behind
// it, hang for ever and its document stays in the spool. Before PAPPL reads
// its saved state, this marks such jobs pending again, so that they print
// from the start, as a CUPS server does with jobs it was printing when it
// stopped. Reads the state file where papplMainloop will look for it.
void recovery_requeue_interrupted(pappl_system_t *system, const char *base_name);
