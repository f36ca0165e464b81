// The web interface: the app's own icons on every page, and who may change
// settings through it.
#pragma once

#include <cstddef>

#include <pappl/pappl.h>

// True when NAME (a listen-hostname value) reaches this machine only:
// "localhost", 127.0.0.0/8 or ::1, written as an address. Anything else,
// "*" and host names included, may be reached from the network.
bool web_listens_on_loopback_only(const char *name);

// The PAM service that the settings pages log in with: GIVEN (the
// auth-service option) when set; the app's own service when it listens
// beyond the loopback interface; otherwise none, and PAPPL lets loopback
// clients in without a login.
const char *web_auth_service(const char *listen, const char *given);

// The app's icon as the pages' favicon and navigation icon, in place of
// PAPPL's; before papplSystemRun, which adds its own only where none is.
void web_add_resources(pappl_system_t *system);
