// Network discovery (DNS-SD) needs the D-Bus system bus and avahi-daemon.
#pragma once

#include <pappl/pappl.h>

// Call before anything else touches PAPPL's devices. When either service is
// missing, DNS-SD devices are answered by a stand-in that says which, so that
// listing devices, the web page that adds a printer and discovery go on
// without them. Returns false when PAPPL's own device kinds (file, socket,
// usb) did not come up.
bool discovery_guard(const char *app_name);

// Why DNS-SD discovery is off, or null when it is on.
const char *discovery_off_reason();

// Announces printer over DNS-SD now. PAPPL 1.3.1 announces a printer added by
// Create-Printer (the "add" subcommand, any IPP client) only after a restart.
// Does nothing before the system runs: PAPPL announces its saved printers
// itself when it starts.
void discovery_announce(pappl_printer_t *printer);
