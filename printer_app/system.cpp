// The system object, made as PAPPL's own default one is, except that it
// listens on 127.0.0.1 unless told otherwise and converts PDF itself.
#include "printer_app/system.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "printer_app/drivers.h"
#include "printer_app/gate.h"
#include "printer_app/jobs.h"
#include "printer_app/login.h"
#include "printer_app/status.h"
#include "printer_app/strings.h"
#include "printer_app/web.h"

const char kAppName[] = "quovel-printer-app";
// As CUPS's own administrators.
const char kAdminGroup[] = "lpadmin";
const char kFooterHTML[] =
    "Quovel Printer Application: IPP Everywhere printing for Quovel R4410KX and L8120KX series "
    "printers.";

namespace {

struct LevelName {
    const char *name;
    pappl_loglevel_t level;
};

const LevelName kLevels[] = {
    {"fatal", PAPPL_LOGLEVEL_FATAL}, {"error", PAPPL_LOGLEVEL_ERROR},
    {"warn", PAPPL_LOGLEVEL_WARN},   {"info", PAPPL_LOGLEVEL_INFO},
    {"debug", PAPPL_LOGLEVEL_DEBUG},
};

struct ServerOption {
    const char *name;
    pappl_soptions_t bit;
    bool set; // false: the word clears the bit
};

const ServerOption kServerOptions[] = {
    {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, true},
    {"no-multi-queue", PAPPL_SOPTIONS_MULTI_QUEUE, false},
    {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, true},
    {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER, true},
    {"no-web-interface", PAPPL_SOPTIONS_WEB_INTERFACE, false},
    {"web-log", PAPPL_SOPTIONS_WEB_LOG, true},
    {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, true},
    {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, true},
    {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, true},
    {"no-tls", PAPPL_SOPTIONS_NO_TLS, true},
};

const char *option(const char *name, int num_options, cups_option_t *options)
{
    return cupsGetOption(name, num_options, options);
}

// A whole number of seconds from 1 to a day into *seconds, which keeps its
// default when the option is absent; false when the value is bad.
bool seconds_option(const char *name, int num_options, cups_option_t *options, int *seconds)
{
    const char *value = option(name, num_options, options);
    if (value == nullptr)
        return true;
    char *end = nullptr;
    errno = 0;
    const long n = strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || n < 1 || n > 86400) {
        fprintf(stderr, "%s: Bad '%s' value.\n", kAppName, name);
        return false;
    }
    *seconds = static_cast<int>(n);
    return true;
}

pappl_soptions_t server_options(const char *value)
{
    pappl_soptions_t soptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
    for (const char *word = value; word != nullptr && *word != '\0';) {
        const size_t len = strcspn(word, ",");
        if (len == 4 && strncmp(word, "none", len) == 0)
            soptions = PAPPL_SOPTIONS_NONE;
        for (const ServerOption &o : kServerOptions) {
            if (strlen(o.name) == len && strncmp(word, o.name, len) == 0)
                soptions = o.set ? (soptions | o.bit) : (soptions & ~o.bit);
        }
        word = word[len] == ',' ? word + len + 1 : nullptr;
    }
    return soptions;
}

// Where PAPPL's default system would spool: a snap's folder, the system's
// spool as root, the user's configuration folder, or the temporary folder.
// False when the name does not fit.
bool default_spool(char *buf, size_t size)
{
    const char *snap = getenv("SNAP_COMMON");
    const char *home = getenv("HOME");
    char config[1024] = "";
    int n;
    if (snap != nullptr) {
        n = snprintf(buf, size, "%s/%s.d", snap, kAppName);
    } else if (getuid() == 0) {
        n = snprintf(buf, size, "/var/spool/%s", kAppName);
    } else if (home != nullptr && snprintf(config, sizeof(config), "%s/.config", home) > 0 &&
               (mkdir(config, 0700) == 0 || errno == EEXIST)) {
        n = snprintf(buf, size, "%s/%s.d", config, kAppName);
    } else {
        n = snprintf(buf, size, "%s/%s%d.d", papplGetTempDir(), kAppName, static_cast<int>(getuid()));
    }
    return n > 0 && static_cast<size_t>(n) < size;
}

} // namespace

pappl_system_t *system_create(int num_options, cups_option_t *options, void *data)
{
    (void)data;
    pappl_loglevel_t level = PAPPL_LOGLEVEL_WARN;
    if (const char *value = option("log-level", num_options, options)) {
        for (const LevelName &l : kLevels) {
            if (strcmp(value, l.name) == 0)
                level = l.level;
        }
    }

    int port = 0;
    if (const char *value = option("server-port", num_options, options)) {
        char *end = nullptr;
        errno = 0;
        const long n = strtol(value, &end, 10);
        if (errno != 0 || *end != '\0' || n < 0 || n > 65535) {
            fprintf(stderr, "%s: Bad 'server-port' value.\n", kAppName);
            return nullptr;
        }
        port = static_cast<int>(n);
    }

    int device_seconds = 300;
    if (!seconds_option("device-timeout", num_options, options, &device_seconds) ||
        !seconds_option("conversion-timeout", num_options, options, &jobs_conversion_seconds) ||
        !seconds_option("status-interval", num_options, options, &status_interval_seconds))
        return nullptr;
    status_init();
    // A printer that takes no data for this long ends its job with a reason;
    // one that names itself no sooner than the gate allows is judged by its
    // driver. Both hold for the whole process.
    papplDeviceSetWriteTimeout(device_seconds * 1000);
    papplDeviceSetIDTimeout(kDeviceIdWaitMs);

    char spool[1024];
    const char *directory = option("spool-directory", num_options, options);
    if (directory == nullptr) {
        if (!default_spool(spool, sizeof(spool))) {
            fprintf(stderr, "%s: The spool folder's name is too long.\n", kAppName);
            return nullptr;
        }
        directory = spool;
    }

    // Listening beyond the loopback interface, every page that changes
    // something asks for a login, and only the print administrators may.
    const char *listen = option("listen-hostname", num_options, options);
    const char *auth = web_auth_service(listen, option("auth-service", num_options, options));
    pappl_system_t *system = papplSystemCreate(
        server_options(option("server-options", num_options, options)), kAppName, port,
        "_print,_universal", directory, option("log-file", num_options, options), level, auth,
        false);
    if (system == nullptr)
        return nullptr;

    if (const char *value = option("admin-group", num_options, options))
        papplSystemSetAdminGroup(system, value);
    else if (auth != nullptr)
        papplSystemSetAdminGroup(system, kAdminGroup);
    if (auth != nullptr)
        papplSystemSetAuthCallback(system, "Basic", login_authorize, nullptr);
    if (const char *value = option("server-hostname", num_options, options))
        papplSystemSetHostName(system, value);
    if (option("private-server", num_options, options) == nullptr)
        papplSystemAddListeners(system, listen != nullptr ? listen : "127.0.0.1");
    // The footer is a strings key: PAPPL shows it in the reader's language.
    papplSystemSetFooterHTML(system, kFooterHTML);
    strings_add(system);
    web_add_resources(system);

    // Drivers before PAPPL loads the saved printers, which name them.
    pappl_pr_driver_t *drivers = nullptr;
    const int num_drivers = drivers_list(&drivers);
    papplSystemSetPrinterDrivers(system, num_drivers, drivers, driver_for_device,
                                 driver_printer_created, driver_setup, nullptr);
    jobs_add_filters(system);
    return system;
}
