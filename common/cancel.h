// The job's cancel request, and waits that give way to it.
#pragma once

#include <csignal>

// Set once the scheduler has asked the job to stop.
extern volatile sig_atomic_t job_canceled;

// SIGTERM handler: only records the request.
void cancel_job(int sig);

// Waits until fd has data or has hung up, for at most seconds (no limit when
// negative). True when fd is ready to be read; false on time-out, on a cancel
// (noticed within a tenth of a second) or when fd is not open.
bool wait_readable(int fd, double seconds);

// Sleeps for seconds, or until the job is cancelled.
void pause_unless_canceled(double seconds);
