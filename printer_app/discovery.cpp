// PAPPL 1.3.1 creates its Avahi client without checking the result and
// browses with it anyway: with no D-Bus system bus the process aborts inside
// Avahi. We look for the bus and the daemon first and, when one is missing,
// put a "dnssd" scheme of our own in place of PAPPL's. PAPPL adds its
// built-in schemes only to an empty list and skips names already there, so
// ours must come first; and since PAPPL adds none of its built-ins once the
// list holds anything, we add them ourselves, behind ours.
#include "printer_app/discovery.h"

#include <cstdio>

#include <dbus/dbus.h>
#include <pappl/pappl.h>

// PAPPL exports these but installs no header that declares them.
extern "C" {
void _papplDeviceAddFileScheme(void);
void _papplDeviceAddNetworkSchemes(void);
void _papplDeviceAddUSBScheme(void);
}

namespace {

char missing[160];

// Why discovery cannot run, or nullptr when it can.
const char *discovery_missing()
{
    DBusError err;
    dbus_error_init(&err);
    DBusConnection *bus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &err);
    if (bus == nullptr) {
        dbus_error_free(&err);
        return "no D-Bus system bus is running";
    }
    const bool avahi = dbus_bus_name_has_owner(bus, "org.freedesktop.Avahi", &err) != 0;
    dbus_error_free(&err);
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return avahi ? nullptr : "avahi-daemon is not running";
}

bool no_list(pappl_device_cb_t cb, void *data, pappl_deverror_cb_t err_cb, void *err_data)
{
    (void)cb;
    (void)data;
    if (err_cb != nullptr)
        err_cb(missing, err_data);
    return false;
}

bool no_open(pappl_device_t *device, const char *device_uri, const char *name)
{
    (void)name;
    papplDeviceError(device, "Unable to reach '%s': %s", device_uri, missing);
    return false;
}

void no_close(pappl_device_t *device)
{
    (void)device;
}

ssize_t no_read(pappl_device_t *device, void *buffer, size_t bytes)
{
    (void)device;
    (void)buffer;
    (void)bytes;
    return -1;
}

ssize_t no_write(pappl_device_t *device, const void *buffer, size_t bytes)
{
    (void)device;
    (void)buffer;
    (void)bytes;
    return -1;
}

} // namespace

const char *discovery_off_reason()
{
    return missing[0] != '\0' ? missing : nullptr;
}

bool discovery_guard(const char *app_name)
{
    const char *why = discovery_missing();
    if (why != nullptr) {
        snprintf(missing, sizeof(missing), "DNS-SD discovery is off: %s.", why);
        papplDeviceAddScheme("dnssd", PAPPL_DEVTYPE_DNS_SD, no_list, no_open, no_close, no_read,
                             no_write, nullptr, nullptr);
        _papplDeviceAddFileScheme();
        _papplDeviceAddNetworkSchemes();
        _papplDeviceAddUSBScheme();
    }
    if (!papplDeviceIsSupported("socket://127.0.0.1") || !papplDeviceIsSupported("usb://x/y")) {
        fprintf(stderr, "%s: PAPPL's device kinds (socket, usb, file) are missing.\n", app_name);
        return false;
    }
    return true;
}

void discovery_announce(pappl_printer_t *printer)
{
    // Setting the name also marks the printer's settings changed, which
    // would touch every saved printer as PAPPL loads them: only a running
    // system is asked.
    if (!papplSystemIsRunning(papplPrinterGetSystem(printer)))
        return;
    // Setting the name registers the printer's services again; the name is
    // copied first, since PAPPL frees the old one before it copies the new.
    char name[256];
    if (papplPrinterGetDNSSDName(printer, name, sizeof(name)) != nullptr)
        papplPrinterSetDNSSDName(printer, name);
}
