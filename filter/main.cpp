// quovel-gate: lets a job through to the printer only on a supported system
// and a supported Quovel printer.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "common/cancel.h"
#include "common/cups_private.h"
#include "filter/identify.h"
#include "filter/passthrough.h"

namespace {

// The CUPS filter arguments: queue, job, user, title, copies, options, and
// for the first filter of a chain, the print file.
const int kFileArg = 6;

void install_signal_handlers()
{
    // A closed standard output or side-channel peer must show up as a failed
    // write, not end the filter without a word.
    signal(SIGPIPE, SIG_IGN);

    // No SA_RESTART: a cancel has to end a read that waits on a slow
    // upstream stage, or the copy would not notice it until more data came.
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = cancel_job;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    install_signal_handlers();

    // Decide before any print data is read.
    const Admission verdict = judge_job();
    if (verdict != Admission::Admit)
        pause_unless_canceled(1.0);

    // A job cancelled before its data flows is neither refused nor printed:
    // a refusal would stay on the printer as its state message, although
    // nothing is wrong with it.
    if (job_canceled != 0)
        return 0;

    // A refused job is reported as the job's error and prints nothing.
    if (verdict != Admission::Admit) {
        char report[256];
        snprintf(report, sizeof(report), "%s\n", admission_message(verdict));
        _cupsLangPrintError("ERROR", report);
        return 0;
    }

    // The first filter of a chain is handed the print file by name and an
    // empty standard input.
    if (argc > kFileArg && freopen(argv[kFileArg], "rb", stdin) == nullptr) {
        fprintf(stderr, "ERROR: Unable to open print file \"%s\", err is %d\n", argv[kFileArg], errno);
        return 0;
    }

    printDatePenetrate();
    return 0;
}
