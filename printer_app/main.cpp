// quovel-printer-app: an IPP Everywhere Printer Application for Quovel
// R4410KX and L8120KX series printers that admits each job by the same rules
// as the quovel-gate filter.
#include <cstring>
#include <malloc.h>
#include <vector>

#include <pappl/pappl.h>

#include "printer_app/drivers.h"
#include "printer_app/strings.h"
#include "printer_app/system.h"

int main(int argc, char *argv[])
{
    // One malloc arena: PAPPL runs each job and each connection on a thread
    // of its own, and every arena that such threads make keeps the memory
    // they freed, so that a long-running server would grow with the busiest
    // moment it has seen. Its threads rarely allocate at the same time.
    mallopt(M_ARENA_MAX, 1);

    // "add" without "-m DRIVER" takes the driver of the model that the
    // device reports (PAPPL's "auto"), so that a supported printer is added
    // by its address alone and any other one is refused.
    std::vector<char *> args(argv, argv + argc);
    bool has_driver = false;
    for (int i = 2; i < argc; i++)
        has_driver = has_driver || strncmp(argv[i], "-m", 2) == 0;
    if (argc >= 2 && strcmp(argv[1], "add") == 0 && !has_driver) {
        static char driver_flag[] = "-m";
        static char auto_driver[] = "auto";
        args.push_back(driver_flag);
        args.push_back(auto_driver);
    }
    args.push_back(nullptr);

    // The sub-commands speak the user's language (LANG), as the web pages
    // speak the browser's.
    strings_add_default();

    pappl_pr_driver_t *drivers = nullptr;
    const int num_drivers = drivers_list(&drivers);
    return papplMainloop(static_cast<int>(args.size()) - 1, args.data(), QUOVEL_VERSION, kFooterHTML,
                         num_drivers, drivers, driver_for_device, driver_setup, nullptr, nullptr,
                         system_create, nullptr, nullptr);
}
