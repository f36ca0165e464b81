// Whether a job may print: the one decision that the filter and the Printer
// Application share. The callers find out the facts, each in its own way;
// the rules and the words of a refusal are here only.
#pragma once

enum class Admission { Admit, RefuseSystem, RefusePrinter };

// How the caller names the model that its queue or printer was set up for.
enum class ConfiguredBy { PpdNickname, Driver };

// The facts, asked for by the decision one at a time, and only while the
// answer can still change it: a refused system costs no question to the
// printer, a device ID makes the configured model irrelevant. Each answer
// stays valid until the decision returns.
struct AdmissionInquiry {
    void *ctx;
    // The system's banner text; "" when there is none.
    const char *(*banner)(void *ctx);
    // The IEEE 1284 device ID that the printer reports, or null for none.
    const char *(*device_id)(void *ctx);
    // The name of the configured model, or null for none.
    const char *(*configured_model)(void *ctx);
    ConfiguredBy configured_by;
};

// The system must be supported (its banner names one of ours), then the
// printer: by the device ID it reports when it reports one, else by the
// model it was set up for.
Admission admission_decide(const AdmissionInquiry &inquiry);

// What a refused job tells its user, one line with no newline; null when the
// job is admitted.
const char *admission_message(Admission verdict);
