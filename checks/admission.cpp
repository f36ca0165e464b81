#include "checks/admission.h"

#include <cstring>

#include "checks/models.h"

namespace {

const int kNameSlot = 64;

// Names looked for in the banner, whole and with exact case.
const char support_systeminfo[][kNameSlot] = {
    "Debian",
    "Kernel",
    "Astra",
};

const char kSystemMessage[] = "当前打印机不可打印，请使用正确的系统";
const char kPrinterMessage[] = "当前打印机不可打印，请使用正确的打印机";

bool isSupportSystem(const char *banner)
{
    for (const auto &name : support_systeminfo) {
        if (banner != nullptr && strstr(banner, name) != nullptr)
            return true;
    }
    return false;
}

bool isSupportPrinter(const AdmissionInquiry &inquiry)
{
    // A device ID that names no model of ours is not outvoted by what an
    // administrator chose: the printer there is another one.
    const char *device_id = inquiry.device_id(inquiry.ctx);
    if (device_id != nullptr)
        return model_by_device_id(device_id) != nullptr;

    const char *configured = inquiry.configured_model(inquiry.ctx);
    if (inquiry.configured_by == ConfiguredBy::PpdNickname)
        return model_by_nickname(configured) != nullptr;
    return model_by_driver(configured) != nullptr;
}

} // namespace

Admission admission_decide(const AdmissionInquiry &inquiry)
{
    if (!isSupportSystem(inquiry.banner(inquiry.ctx)))
        return Admission::RefuseSystem;
    return isSupportPrinter(inquiry) ? Admission::Admit : Admission::RefusePrinter;
}

const char *admission_message(Admission verdict)
{
    switch (verdict) {
    case Admission::RefuseSystem:
        return kSystemMessage;
    case Admission::RefusePrinter:
        return kPrinterMessage;
    case Admission::Admit:
        break;
    }
    return nullptr;
}
