// The IEEE 1284 device ID that a printer's device reports at this moment,
// never waited on for longer than kDeviceIdWait.
#pragma once

#include <cstddef>

#include <pappl/pappl.h>

// How long a job may wait for the device to name itself.
const double kDeviceIdWait = 2.0;

// Readies the SNMP library; call once, before any thread asks.
void device_id_init();

class DeviceIdQuery {
public:
    DeviceIdQuery() = default;
    DeviceIdQuery(const DeviceIdQuery &) = delete;
    DeviceIdQuery &operator=(const DeviceIdQuery &) = delete;
    // Joins a device query that outlived the wait (see finish()).
    ~DeviceIdQuery();

    // Asks the device behind uri (open as device) for its device ID and
    // waits at most kDeviceIdWait. True with the ID in buf when one came in
    // time; false (buf empty) when the device reports none or is too slow,
    // which is the same thing to the caller.
    bool ask(const char *uri, pappl_device_t *device, char *buf, size_t size);

    // A slow device's own query may still run on a helper thread; it holds
    // the device, so it must end before the device is closed. Blocks until it
    // has, if it had not yet.
    void finish();

    struct Pending;

private:
    Pending *pending_ = nullptr;
};

// The device ID of a socket:// printer from its SNMP agent (PWG printer MIB
// object 1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1, community "public"), asked once
// with a timeout of timeout_s seconds. False when no agent answered in time
// or the answer was not a device ID.
bool snmp_device_id(const char *host, double timeout_s, char *buf, size_t size);
