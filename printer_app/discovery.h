// Network discovery (DNS-SD) needs the D-Bus system bus and avahi-daemon.
#pragma once

// Call before anything else touches PAPPL's devices. When either service is
// missing, DNS-SD devices are answered by a stand-in that says which, so that
// listing devices, the web page that adds a printer and discovery go on
// without them. Returns false when PAPPL's own device kinds (file, socket,
// usb) did not come up.
bool discovery_guard(const char *app_name);

// Why DNS-SD discovery is off, or null when it is on.
const char *discovery_off_reason();
