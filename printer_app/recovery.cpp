// The saved state is rewritten beside itself and renamed over it, so that a
// failure leaves the old one whole.
#include "printer_app/recovery.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

#include <pappl/pappl.h>

namespace {

void nap_ms(long ms)
{
    const timespec t{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

// The state file's name as papplMainloop chooses it; false when there is
// none.
bool state_path(const char *base_name, char *buf, size_t size)
{
    const char *snap = getenv("SNAP_COMMON");
    const char *xdg = getenv("XDG_CONFIG_HOME");
    const char *home = getenv("HOME");
    int n;
    if (snap != nullptr)
        n = access(snap, X_OK) == 0 ? snprintf(buf, size, "%s/%s.state", snap, base_name) : -1;
    else if (getuid() == 0)
        n = snprintf(buf, size, "/var/lib/%s.state", base_name);
    else if (xdg != nullptr)
        n = access(xdg, X_OK) == 0 ? snprintf(buf, size, "%s/%s.state", xdg, base_name) : -1;
    else if (home != nullptr)
        n = snprintf(buf, size, "%s/.config/%s.state", home, base_name);
    else
        n = snprintf(buf, size, "%s/%s%d.state", papplGetTempDir(), base_name,
                     static_cast<int>(getuid()));
    return n > 0 && static_cast<size_t>(n) < size;
}

struct Requeued {
    int printer_id;
    int job_id;
};

struct Recovery {
    pappl_system_t *system;
    int count;
    Requeued jobs[64];
};

Recovery recovery;

// The value of NAME="..." in a line of the state file as a number, or 0.
int number(const char *line, const char *name)
{
    const char *at = strstr(line, name);
    return at != nullptr ? static_cast<int>(strtol(at + strlen(name), nullptr, 10)) : 0;
}

// Job lines of jobs that were processing (5) or stopped (6) get pending (3).
bool requeue(char *line, int printer_id)
{
    if (strncmp(line, "Job ", 4) != 0)
        return false;
    char *state = strstr(line, " state=\"");
    if (state == nullptr || (state[8] != '5' && state[8] != '6') || state[9] != '"')
        return false;
    state[8] = '3';
    if (recovery.count < static_cast<int>(sizeof(recovery.jobs) / sizeof(recovery.jobs[0])))
        recovery.jobs[recovery.count++] = {printer_id, number(line, " id=\"")};
    return true;
}

// PAPPL looks for pending jobs only when a job arrives or ends: once the
// system runs, asking to release each requeued job makes it look.
void *start_requeued(void *)
{
    for (int i = 0; i < 100 && !papplSystemIsRunning(recovery.system); i++)
        nap_ms(100);
    for (int i = 0; i < recovery.count; i++) {
        pappl_printer_t *printer =
            papplSystemFindPrinter(recovery.system, nullptr, recovery.jobs[i].printer_id, nullptr);
        pappl_job_t *job = printer != nullptr ? papplPrinterFindJob(printer, recovery.jobs[i].job_id)
                                              : nullptr;
        if (job != nullptr)
            papplJobRelease(job, nullptr);
    }
    return nullptr;
}

char state_file[1024];

// Saves the state beside its file, then renames it over the file.
bool save_state(pappl_system_t *system, void *data)
{
    const char *path = static_cast<const char *>(data);
    char temp[1100];
    snprintf(temp, sizeof(temp), "%s.new", path);
    if (!papplSystemSaveState(system, temp) || rename(temp, path) != 0) {
        unlink(temp);
        return false;
    }
    return true;
}

// Marks interrupted jobs pending again in the state file at path, and starts
// the thread that has PAPPL look for them once it runs.
void requeue_interrupted(pappl_system_t *system, const char *path)
{
    char temp[1100];
    FILE *in = fopen(path, "re");
    if (in == nullptr)
        return;
    snprintf(temp, sizeof(temp), "%s.requeue", path);
    FILE *out = fopen(temp, "we");
    if (out == nullptr) {
        fclose(in);
        return;
    }
    char *line = nullptr;
    size_t cap = 0;
    int requeued = 0, printer_id = 0;
    bool ok = true;
    recovery.system = system;
    while (getline(&line, &cap, in) >= 0) {
        if (strncmp(line, "<Printer ", 9) == 0)
            printer_id = number(line, " id=\"");
        if (requeue(line, printer_id))
            requeued++;
        ok = ok && fputs(line, out) >= 0;
    }
    free(line);
    fclose(in);
    ok = fclose(out) == 0 && ok;
    if (ok && requeued > 0 && rename(temp, path) == 0) {
        papplLog(system, PAPPL_LOGLEVEL_WARN,
                 "%d job(s) interrupted when the app last stopped will print again.", requeued);
        // Detached: it touches the system only once it runs, for moments;
        // a shutdown asked for within those moments is not guarded against.
        pthread_t thread;
        if (pthread_create(&thread, nullptr, start_requeued, nullptr) == 0)
            pthread_detach(thread);
        return;
    }
    unlink(temp);
}

} // namespace

void recovery_load_state(pappl_system_t *system, const char *base_name)
{
    if (!state_path(base_name, state_file, sizeof(state_file)))
        return;
    requeue_interrupted(system, state_file);
    papplSystemLoadState(system, state_file);
    papplSystemSetSaveCallback(system, save_state, state_file);
}
