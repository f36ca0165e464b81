// Logins for the pages and operations that change something, when the app
// listens beyond the loopback interface.
#pragma once

#include <pappl/pappl.h>

// PAPPL's authorization callback: HTTP Basic credentials checked by PAM
// with the system's auth service, then membership of GROUPID, the admin
// group GROUP (any user when GROUP is null, empty or "none"; a named group
// that does not exist admits nobody, where PAPPL's own check would let in
// every user with a password).
http_status_t login_authorize(pappl_client_t *client, const char *group, gid_t groupid,
                              void *data);

// Whether USER is GROUPID or has it among its groups.
bool login_user_in_group(const char *user, gid_t groupid);
