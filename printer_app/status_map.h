// What a printer's SNMP agent reports (Host Resources and Printer MIB
// objects), turned into the printer-state-reasons, supplies and job messages
// that PAPPL shows. Pure functions: status.cpp does the asking.
#pragma once

#include <cstddef>

#include <pappl/pappl.h>

// The printer's own state, as its agent answered.
struct PrinterReport {
    bool answered = false;        // false: no agent, or no answer in time
    int device_status = 0;        // hrDeviceStatus, 0 when not given
    int printer_status = 0;       // hrPrinterStatus, 0 when not given
    unsigned char errors[2] = {}; // hrPrinterDetectedErrorState, first two bytes
};

// One row of prtMarkerSuppliesTable; numbers are the agent's own, -2
// (unknown) where it gave none.
struct SupplyRow {
    int colorant_index = 0;
    int supply_class = 0; // 3 consumed, 4 a receptacle that fills
    int type = 2;         // unknown
    char description[256] = "";
    int unit = 0;
    int max_capacity = -2;
    int level = -2;
    char colorant[64] = ""; // prtMarkerColorantValue of its colorant
};

// Every reason this module sets or clears, and no other: the rest of
// printer-state-reasons belongs to PAPPL and the app's other parts.
extern const pappl_preason_t kStatusOwnedReasons;

// Supplies at or below this percentage are low.
const int kStatusLowPercent = 10;

// The reasons the printer's state gives; offline when it did not answer,
// since a printer that cannot be asked is not known to be ready.
pappl_preason_t status_reasons(const PrinterReport &report);

// What keeps the printer from printing, as a user reads it, or nullptr when
// nothing does (low supplies and an unknown state do not).
const char *status_stop_message(const PrinterReport &report);

// The supply PAPPL shows for a row: its level as a percentage of its
// capacity, -1 where the agent gives no number (RFC 3805's -2 unknown and -3
// "some remaining" included).
pappl_supply_t status_supply(const SupplyRow &row);

// The low and empty reasons of one supply.
pappl_preason_t status_supply_reasons(const SupplyRow &row);

// The agent's text (len bytes, any bytes) into out (size bytes) as UTF-8
// for IPP and the web page: a control character or a byte that is not part
// of a UTF-8 character becomes '?'; trailing NULs and spaces go; a character
// that does not fit whole is left out.
void status_text(const unsigned char *data, size_t len, char *out, size_t size);

// The host of a socket://HOST[:PORT] device URI into host (size bytes),
// without brackets for an IPv6 address; false for any other scheme or a host
// that does not fit.
bool status_uri_host(const char *uri, char *host, size_t size);
