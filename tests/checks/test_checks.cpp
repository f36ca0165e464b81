// The admission decision on facts given as they are: no process, no side
// channel, no PPD.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "checks/admission.h"
#include "checks/models.h"

namespace {

const char kDebian[] = "Welcome to Debian GNU/Linux 12 \\n \\l\n\n";
const char kRow0[] = "MFG:Quovel;MDL:R4410KX series;CLS:PRINTER;";

// The facts of one case, and which of them the decision asked for.
struct Facts {
    const char *banner;
    const char *device_id;
    const char *configured;
    std::string asked;
};

const char *banner_of(void *ctx)
{
    Facts *f = static_cast<Facts *>(ctx);
    f->asked += "banner ";
    return f->banner;
}

const char *device_id_of(void *ctx)
{
    Facts *f = static_cast<Facts *>(ctx);
    f->asked += "device-id ";
    return f->device_id;
}

const char *configured_of(void *ctx)
{
    Facts *f = static_cast<Facts *>(ctx);
    f->asked += "configured ";
    return f->configured;
}

struct DecisionCase {
    const char *what;
    const char *banner;
    const char *device_id; // nullptr: the printer reported none
    const char *configured;
    ConfiguredBy by;
    Admission verdict;
    const char *asked;
};

TEST(Admission, TheSystemThenTheDeviceIdThenTheConfiguredModelDecide)
{
    const auto nick = ConfiguredBy::PpdNickname;
    const auto driver = ConfiguredBy::Driver;
    const auto admit = Admission::Admit;
    const auto no_system = Admission::RefuseSystem;
    const auto no_printer = Admission::RefusePrinter;
    const char *all = "banner device-id ";
    const char *fallback = "banner device-id configured ";
    const DecisionCase cases[] = {
        {"Debian anywhere", kDebian, kRow0, nullptr, nick, admit, all},
        {"Kernel anywhere", "Kernel \\r on an \\m\n", kRow0, nullptr, nick, admit, all},
        {"Astra Linux", "Astra Linux 1.7 (Smolensk)\n", kRow0, nullptr, nick, admit, all},
        {"lower-case debian", "debian gnu/linux\n", kRow0, nullptr, nick, no_system, "banner "},
        {"another system", "Ubuntu 22.04.3 LTS \\n \\l\n", kRow0, nullptr, nick, no_system, "banner "},
        {"empty banner", "", kRow0, nullptr, nick, no_system, "banner "},
        {"row 1 alone", kDebian, "MFG:Quovel;MDL:L8120KX series;CLS:PRINTER;", nullptr, nick, admit, all},
        {"row 0 with pairs between and after", kDebian,
         "MFG:Quovel;CMD:PS,PCL;MDL:R4410KX series;CLS:PRINTER;DES:Quovel R4410KX;", nullptr, nick,
         admit, all},
        {"model in capitals", kDebian, "MFG:Quovel;MDL:R4410KX SERIES;CLS:PRINTER;", nullptr, nick,
         no_printer, all},
        {"no class pair", kDebian, "MFG:Quovel;MDL:R4410KX series;", nullptr, nick, no_printer, all},
        {"another class", kDebian, "MFG:Quovel;MDL:R4410KX series;CLS:SCANNER;", nullptr, nick,
         no_printer, all},
        {"a pair cut short", kDebian, "MFG:Quovel;MDL:R4410KX series CLS:PRINTER;", nullptr, nick,
         no_printer, all},
        {"unknown device, supported nickname not consulted", kDebian, "MFG:Other;MDL:X1;CLS:PRINTER;",
         "R4410KX Series PS", nick, no_printer, all},
        {"no device ID, first nickname", kDebian, nullptr, "R4410KX Series PS", nick, admit, fallback},
        {"no device ID, nickname in lower case", kDebian, nullptr, "r4410kx series ps", nick, admit,
         fallback},
        {"no device ID, nickname with more after it", kDebian, nullptr, "R4410KX Series PS Plus", nick,
         no_printer, fallback},
        {"no device ID, no nickname", kDebian, nullptr, nullptr, nick, no_printer, fallback},
        {"no device ID, a driver's name is no nickname", kDebian, nullptr, "quovel-r4410kx", nick,
         no_printer, fallback},
        {"no device ID, our driver", kDebian, nullptr, "quovel-l8120kx", driver, admit, fallback},
        {"no device ID, a driver name in capitals", kDebian, nullptr, "QUOVEL-L8120KX", driver,
         no_printer, fallback},
        {"no device ID, a nickname is no driver", kDebian, nullptr, "L8120KX Series PS", driver,
         no_printer, fallback},
        {"no device ID, no driver", kDebian, nullptr, nullptr, driver, no_printer, fallback},
    };
    for (const DecisionCase &c : cases) {
        SCOPED_TRACE(c.what);
        Facts facts{c.banner, c.device_id, c.configured, ""};
        const AdmissionInquiry inquiry = {&facts, banner_of, device_id_of, configured_of, c.by};
        EXPECT_EQ(admission_decide(inquiry), c.verdict);
        EXPECT_EQ(facts.asked, c.asked);
    }
}

TEST(Admission, EachRefusalHasItsOwnMessageAndAnAdmissionNone)
{
    EXPECT_STREQ(admission_message(Admission::RefuseSystem), "当前打印机不可打印，请使用正确的系统");
    EXPECT_STREQ(admission_message(Admission::RefusePrinter), "当前打印机不可打印，请使用正确的打印机");
    EXPECT_EQ(admission_message(Admission::Admit), nullptr);
}

TEST(Models, EachModelIsKnownByTheDeviceIdItReportsItsNicknameAndItsDriver)
{
    ASSERT_EQ(supported_model_count(), 2);
    for (int i = 0; i < supported_model_count(); i++) {
        const SupportedModel &m = supported_model(i);
        SCOPED_TRACE(m.driver);
        char id[256];
        ASSERT_TRUE(model_device_id(m, id, sizeof(id)));
        EXPECT_EQ(model_by_device_id(id), &m);
        EXPECT_EQ(model_by_nickname(m.nickname), &m);
        EXPECT_EQ(model_by_driver(m.driver), &m);
        // A buffer one byte short is refused, not cut.
        EXPECT_FALSE(model_device_id(m, id, strlen(id)));
    }
}

} // namespace
