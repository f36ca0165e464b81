// quovel-printer-app: an IPP Everywhere Printer Application for Quovel
// R4410KX and L8120KX series printers that admits each job by the same rules
// as the quovel-gate filter.
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <vector>

#include <pappl/pappl.h>

#include "printer_app/device_id.h"
#include "printer_app/discovery.h"
#include "printer_app/drivers.h"
#include "printer_app/system.h"

namespace {

// The value of option -X in argv ("-X value" or "-Xvalue"), or null.
const char *option_value(int argc, char *argv[], const char *flag)
{
    const size_t len = strlen(flag);
    for (int i = 2; i < argc && argv[i] != nullptr; i++) {
        if (strcmp(argv[i], flag) == 0)
            return i + 1 < argc ? argv[i + 1] : nullptr;
        if (strncmp(argv[i], flag, len) == 0)
            return argv[i] + len;
    }
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    // 1. One malloc arena: PAPPL runs each job and each connection on a
    //    thread of its own, and every arena that such threads make keeps
    //    the memory they freed, so that a long-running server would grow
    //    with the busiest moment it has seen. Its threads rarely allocate at
    //    the same time. Libraries that threads share are readied before
    //    PAPPL starts any.
    mallopt(M_ARENA_MAX, 1);
    device_id_init();

    // 2. No crash for want of D-Bus or Avahi.
    if (!discovery_guard(kAppName))
        return 1;

    // 3. "add" without "-m DRIVER" gets the driver of the model that the
    //    device names, or is refused. PAPPL's own "auto" would wait 10 s on a
    //    socket device without an SNMP agent and keep "auto" as the driver's
    //    name, so we choose here.
    std::vector<char *> args(argv, argv + argc);
    if (argc >= 2 && strcmp(argv[1], "add") == 0 && option_value(argc, argv, "-m") == nullptr) {
        const char *uri = option_value(argc, argv, "-v");
        const char *driver = uri != nullptr ? driver_for_uri(uri) : nullptr;
        if (uri != nullptr && driver == nullptr) {
            fprintf(stderr,
                    "%s: The device '%s' reports no supported printer; name a driver with -m "
                    "if it is one.\n",
                    kAppName, uri);
            return 1;
        }
        if (driver != nullptr) {
            static char driver_flag[] = "-m";
            args.push_back(driver_flag);
            args.push_back(const_cast<char *>(driver));
        }
    }
    args.push_back(nullptr);

    // 4. PAPPL's subcommands, with our system, drivers and footer.
    pappl_pr_driver_t *drivers = nullptr;
    const int num_drivers = drivers_list(&drivers);
    return papplMainloop(static_cast<int>(args.size()) - 1, args.data(), QUOVEL_VERSION, kFooterHTML,
                         num_drivers, drivers, driver_for_device, driver_setup, nullptr, nullptr,
                         system_create, nullptr, nullptr);
}
