// The turns of the jobs at each printer's device.
#include "printer_app/turn.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <pthread.h>
#include <vector>

namespace {

// A job whose turn has ended, remembered so that a thread that reaches it
// late knows it. The job's ID tells it from a later job at the same address.
struct Ended {
    const pappl_job_t *job = nullptr;
    int id = 0;
    bool ok = false;
};

struct Device {
    const pappl_job_t *holder = nullptr;
    pthread_t holder_thread{};
    std::vector<const pappl_job_t *> waiting;
    // A late second thread comes within moments of the first; far fewer
    // than this many jobs can end in between.
    Ended ended[64];
    unsigned next = 0;
};

// Held only briefly and never while waiting on PAPPL: PAPPL calls
// turn_event with its own locks held, and the job accessors used under it
// (ID, printer, state, completion time) take none of PAPPL's.
std::mutex lock;
std::condition_variable turn_over;
// Never erased: a printer is a few bytes here, and a deleted printer's jobs
// may still be ending.
std::map<const pappl_printer_t *, Device> devices;

const Ended *find_ended(const Device &d, const pappl_job_t *job, int id)
{
    const Ended *end = d.ended + sizeof(d.ended) / sizeof(d.ended[0]);
    const Ended *e =
        std::find_if(d.ended, end, [&](const Ended &x) { return x.job == job && x.id == id; });
    return e != end ? e : nullptr;
}

const char kLostMessage[] =
    "PAPPL closed the printer's connection as this job started, so it was not printed; print it "
    "again.";

// Marks a job that PAPPL ended without printing it. Runs on a thread of its
// own, since PAPPL's locks were held where it was found; the job stays in
// PAPPL's history for a minute at least.
void *mark_lost(void *data)
{
    auto *job = static_cast<pappl_job_t *>(data);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", kLostMessage);
    papplJobSetReasons(job, PAPPL_JREASON_ERRORS_DETECTED, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "%s", kLostMessage);
    return nullptr;
}

} // namespace

void turn_event(pappl_system_t *system, pappl_printer_t *printer, pappl_job_t *job,
                pappl_event_t event, void *data)
{
    (void)system;
    (void)printer;
    (void)data;
    // A job's ID and state are read without PAPPL's locks. Every document
    // that the app prints has its turn, so a job completed without one was
    // never printed.
    if (job == nullptr || (event & PAPPL_EVENT_JOB_COMPLETED) == 0 ||
        papplJobGetState(job) != IPP_JSTATE_COMPLETED)
        return;
    {
        std::lock_guard<std::mutex> held(lock);
        const Device &d = devices[papplJobGetPrinter(job)];
        if (d.holder == job || find_ended(d, job, papplJobGetID(job)) != nullptr)
            return;
    }
    // Without a thread to spare, the job stays as PAPPL left it.
    pthread_t thread;
    if (pthread_create(&thread, nullptr, mark_lost, job) == 0)
        pthread_detach(thread);
}

TurnStart turn_begin(pappl_job_t *job)
{
    const int id = papplJobGetID(job);
    std::unique_lock<std::mutex> held(lock);
    Device &d = devices[papplJobGetPrinter(job)];
    if (d.holder == job)
        return pthread_equal(d.holder_thread, pthread_self()) != 0 ? TurnStart::kNested
                                                                   : TurnStart::kDuplicate;
    if (std::find(d.waiting.begin(), d.waiting.end(), job) != d.waiting.end())
        return TurnStart::kDuplicate;
    // A job that had its turn is finished by the thread that had it; until
    // PAPPL has done so it has no completion time.
    if (find_ended(d, job, id) != nullptr)
        return papplJobGetTimeCompleted(job) != 0 ? TurnStart::kEnded : TurnStart::kDuplicate;
    // Cancelled while it waited to start.
    if (papplJobGetTimeCompleted(job) != 0)
        return TurnStart::kEnded;
    d.waiting.push_back(job);
    turn_over.wait(held, [&d] { return d.holder == nullptr; });
    d.waiting.erase(std::find(d.waiting.begin(), d.waiting.end(), job));
    d.holder = job;
    d.holder_thread = pthread_self();
    return TurnStart::kTaken;
}

void turn_end(pappl_job_t *job, bool ok)
{
    {
        std::lock_guard<std::mutex> held(lock);
        Device &d = devices[papplJobGetPrinter(job)];
        if (d.holder != job)
            return;
        d.ended[d.next++ % (sizeof(d.ended) / sizeof(d.ended[0]))] = {job, papplJobGetID(job), ok};
        d.holder = nullptr;
    }
    turn_over.notify_all();
}

TurnStart turn_enter(pappl_job_t *job, bool *ended_ok)
{
    const TurnStart start = turn_begin(job);
    if (start == TurnStart::kDuplicate) {
        // PAPPL's part of this thread only marked the job as processing,
        // which it is.
        papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                    "PAPPL started this job on a second thread; that thread stops here.");
        pthread_exit(nullptr);
    }
    if (start != TurnStart::kEnded)
        return start;
    bool had_turn = false;
    *ended_ok = false;
    {
        std::lock_guard<std::mutex> held(lock);
        if (const Ended *e = find_ended(devices[papplJobGetPrinter(job)], job, papplJobGetID(job))) {
            *ended_ok = e->ok;
            had_turn = true;
        }
    }
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "PAPPL started this job again after it had ended; it is not printed again.");
    // PAPPL has marked it processing once more; what the caller returns ends
    // it again as it ended before. One that never had its turn had been
    // cancelled before it started.
    if (!had_turn)
        papplJobCancel(job);
    return start;
}
