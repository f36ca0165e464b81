// What the PAPPL tests share: a free loopback port for a system of their
// own, and a wait that polls for a state.
#pragma once

#include <chrono>
#include <functional>

#include <pappl/pappl.h>

// A TCP port on 127.0.0.1 that was free a moment ago; 0 when none was found.
int free_port();

// Polls done() until it holds; false when it still did not after bound, which
// only guards against a hang.
bool wait_for(const std::function<bool()> &done, std::chrono::seconds bound = std::chrono::seconds(30));

// The printer that the PAPPL tests' drivers describe: monochrome PostScript at
// 300 dpi, one-sided, A4 from one tray, with the given margins in hundredths
// of a millimetre. The callbacks and raster types are the caller's.
void describe_a4_postscript_printer(pappl_pr_driver_data_t *d, const char *make_and_model, int margin);
