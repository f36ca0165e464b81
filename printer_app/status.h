// The printer's state and supplies, from its SNMP agent: asked before each
// job, every few seconds while one prints, and at an interval when idle.
// Only socket:// printers are asked, on udp HOST:161, never on their print
// port.
#pragma once

#include <pappl/pappl.h>

// Seconds between asks while a printer is idle; set once from the server's
// options (status-interval) before any printer is made.
extern int status_interval_seconds;

// The most a job waits for its device's answers in all, device ID included.
const int kStatusJobWaitMs = 2000;

// Readies the SNMP library; once, before any thread asks.
void status_init();

// Starts asking for a printer as it is made (PAPPL's create callback).
void status_printer_created(pappl_printer_t *printer);

// Stops asking for it and waits until nothing does (the printer's delete
// callback, called before PAPPL frees it).
void status_printer_deleted(pappl_printer_t *printer, pappl_pr_driver_data_t *data);

// Asks in the job's thread, within budget_ms, and shows the answer on the
// printer and the job; with no budget, leaves both to the next ask.
void status_before_job(pappl_job_t *job, int budget_ms);

// Takes from the job what the printer's state told it, once its route has
// ended (done or failed): a job that ended does not wait for the printer.
void status_after_job(pappl_job_t *job);
