// The web interface's icons and login rule.
#include "printer_app/web.h"

#include <arpa/inet.h>
#include <cstring>

#include "printer_app/icons.h"
#include "printer_app/system.h"

namespace {

bool is_loopback_address(const char *name)
{
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, name, &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    return inet_pton(AF_INET6, name, &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

} // namespace

bool web_listens_on_loopback_only(const char *name)
{
    if (name == nullptr)
        return true; // the app's default, 127.0.0.1
    if (strcmp(name, "localhost") == 0)
        return true;
    // "[::1]" as in a URI.
    char bare[64];
    const size_t len = strlen(name);
    if (len >= 2 && len < sizeof(bare) && name[0] == '[' && name[len - 1] == ']') {
        memcpy(bare, name + 1, len - 2);
        bare[len - 2] = '\0';
        return is_loopback_address(bare);
    }
    return is_loopback_address(name);
}

const char *web_auth_service(const char *listen, const char *given)
{
    if (given != nullptr && *given != '\0')
        return given;
    return web_listens_on_loopback_only(listen) ? nullptr : kAppName;
}

void web_add_resources(pappl_system_t *system)
{
    papplSystemAddResourceData(system, "/favicon.png", "image/png", kIcon_md, kIcon_md_size);
    papplSystemAddResourceData(system, "/navicon.png", "image/png", kIcon_sm, kIcon_sm_size);
}
