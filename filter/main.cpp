// quovel-gate: lets a job through to the printer only on a supported system
// and a supported Quovel printer.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "checks/checks.h"
#include "common/cancel.h"
#include "common/cups_private.h"
#include "filter/passthrough.h"

namespace {

const char kSystemMessage[] = "当前打印机不可打印，请使用正确的系统\n";
const char kPrinterMessage[] = "当前打印机不可打印，请使用正确的打印机\n";

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
    const char *refusal = nullptr;
    char device_id[512];
    memset(device_id, 0, sizeof(device_id));
    int device_id_len = sizeof(device_id) - 1;

    if (!isSupportSystem()) {
        refusal = kSystemMessage;
    } else if (job_canceled == 0) {
        const bool got_device_id = query1284info(device_id, &device_id_len);
        if (job_canceled == 0 && !isSupportPrinter(device_id, got_device_id))
            refusal = kPrinterMessage;
    }
    if (refusal != nullptr)
        pause_unless_canceled(1.0);

    // A job cancelled before its data flows is neither refused nor printed:
    // a refusal would stay on the printer as its state message, although
    // nothing is wrong with it.
    if (job_canceled != 0)
        return 0;

    // A refused job is reported as the job's error and prints nothing.
    if (refusal != nullptr) {
        _cupsLangPrintError("ERROR", refusal);
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
