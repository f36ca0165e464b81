// One job at a time at each printer's device.
//
// PAPPL 1.3.1 starts a printer's next job from whichever thread asks (a
// client that queued a job, the job that just finished, a resumed printer)
// and marks the printer busy only once the new job's own thread has run. Two
// threads that ask at once can each start one: the same job, or two jobs.
// Both then write to the printer's one connection, so the device gets the
// documents interleaved, and a job finished by two threads is listed twice
// and later freed while still listed. So every job's work at its device runs
// inside its turn.
//
// A job that starts while the job before it is ending can also find the
// printer's connection closed under it by that job: PAPPL then ends it as
// completed without printing it. That cannot be undone from outside PAPPL;
// turn_event finds such a job and says so in its state reasons and message.
#pragma once

#include <pappl/pappl.h>

enum class TurnStart {
    kTaken,     // the job's turn, now this thread's: print, then turn_end
    kNested,    // this thread holds the job's turn already
    kEnded,     // the job had ended before this thread reached it
    kDuplicate, // another thread has the job
};

// Waits until no other job of the job's printer holds the device.
TurnStart turn_begin(pappl_job_t *job);

// Gives back a turn that turn_begin gave (kTaken), noting how the job ended.
void turn_end(pappl_job_t *job, bool ok);

// PAPPL's event callback (papplSystemSetEventCallback). PAPPL calls it with
// its own locks held, so that it only notes what it sees.
void turn_event(pappl_system_t *system, pappl_printer_t *printer, pappl_job_t *job,
                pappl_event_t event, void *data);

// turn_begin for PAPPL's calls on a job's own thread. A second thread on a
// job ends itself here (so it never returns kDuplicate), before PAPPL can
// finish the job a second time; nothing of the caller's may need freeing
// then. For kEnded, *ended_ok says how the job had ended.
TurnStart turn_enter(pappl_job_t *job, bool *ended_ok);

// Runs print() within the job's turn (see turn_enter) and returns what it
// returns; a job that had ended is not printed again.
template <typename Print> bool turn_print(pappl_job_t *job, Print &&print)
{
    bool ok = false;
    const TurnStart start = turn_enter(job, &ok);
    if (start == TurnStart::kEnded)
        return ok;
    if (start == TurnStart::kNested)
        return print();
    // Given back however print() leaves, so that the printer's other jobs
    // are never left waiting for ever.
    struct Holder {
        pappl_job_t *job;
        bool ok;
        ~Holder() { turn_end(job, ok); }
    } holder{job, false};
    // Cancelled while it waited for its turn.
    if (papplJobIsCanceled(job))
        return false;
    holder.ok = print();
    return holder.ok;
}
