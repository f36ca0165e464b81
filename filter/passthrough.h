// The SIGTERM flag and the pass-through copy of an admitted job.
#pragma once

#include <csignal>

// Set once the scheduler has asked the job to stop.
extern volatile sig_atomic_t job_canceled;

// SIGTERM handler: only records the request.
void cancel_job(int sig);

// Copies stdin to standard output unchanged, chunk by chunk, until the input
// ends or the job is cancelled.
void printDatePenetrate();
