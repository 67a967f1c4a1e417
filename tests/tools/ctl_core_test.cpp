// trelvanectl's parts that need no server: its command line, the properties
// it takes from the contract, values read from text, and events as lines.
#include <gtest/gtest.h>

#include "contract/trelvane.h"
#include "tools/ctl/event_record.h"
#include "tools/ctl/options.h"
#include "tools/ctl/properties.h"
#include "tools/ctl/values.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;

ctl::ParsedOptions Parse(std::vector<std::string> arguments) { return ctl::ParseArguments(arguments); }

TEST(CtlOptions, CommandsTakeTheirOperandsAndOptions) {
    auto watch = Parse({"--json", "watch", "--open", "COM4", "--confirm", "--for", "1.5s"});
    ASSERT_TRUE(watch.options) << watch.error;
    EXPECT_TRUE(watch.options->json);
    EXPECT_EQ(watch.options->verb, ctl::Verb::Watch);
    EXPECT_EQ(watch.options->port, 4);
    EXPECT_TRUE(watch.options->autoConfirm);
    EXPECT_EQ(watch.options->limit, 1500ms);

    auto inject = Parse({"inject", "-5", "--json"});
    ASSERT_TRUE(inject.options) << inject.error;
    EXPECT_EQ(inject.options->number, -5);
    EXPECT_TRUE(inject.options->json);

    auto battery = Parse({"battery", "Finish", "--timeout", "250"});
    ASSERT_TRUE(battery.options) << battery.error;
    EXPECT_EQ(battery.options->operands[0], "FinishPost");
    EXPECT_EQ(battery.options->limit, 250ms);

    auto write = Parse({"write", "--", "--not an option"});
    ASSERT_TRUE(write.options) << write.error;
    EXPECT_EQ(write.options->operands[0], "--not an option");

    // GNU forms: --name=value, -h, -V.
    auto gnu =
        Parse({"watch", "--open=3", "--for=2s", "--events=startnumberrequest,SP_PORTCLOSED", "--trace", "--force"});
    ASSERT_TRUE(gnu.options) << gnu.error;
    EXPECT_EQ(gnu.options->port, 3);
    EXPECT_EQ(gnu.options->limit, 2000ms);
    EXPECT_EQ(gnu.options->events, (std::vector<std::string>{"StartNumberRequest", "SP_PortClosed"}));
    EXPECT_TRUE(gnu.options->trace && gnu.options->force);
    EXPECT_TRUE(Parse({"open", "3", "--force"}).options->force);
    EXPECT_TRUE(Parse({"-V"}).options->version);
    EXPECT_TRUE(Parse({"--version"}).options->version);
    EXPECT_TRUE(Parse({"-h"}).options->help);

    EXPECT_TRUE(Parse({"--help"}).options->help);
    EXPECT_TRUE(Parse({"open", "--help"}).options->help);
    EXPECT_FALSE(Parse({"confirm"}).options->number.has_value());
}

TEST(CtlOptions, BadCommandLinesSayWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command given"},
        {{"opne", "3"}, "unknown command: opne"},
        {{"open"}, "open: too few arguments"},
        {{"open", "3", "4"}, "open: too many arguments"},
        {{"open", "0"}, "not a port: 0"},
        {{"open", "COM10000"}, "not a port: COM10000"},
        {{"open", "LPT1"}, "not a port: LPT1"},
        {{"close", "--confirm"}, "unknown option: --confirm for close"},
        {{"watch", "--open"}, "--open needs a port"},
        {{"watch", "--open="}, "not a port: "},
        {{"watch", "--for", "soon"}, "not a duration: soon"},
        {{"watch", "--for=soon"}, "not a duration: soon"},
        {{"--json=yes", "status"}, "--json takes no value"},
        {{"watch", "--confirm=1"}, "--confirm takes no value"},
        {{"watch", "--events", "StartNumberRequest,Nope"}, "no such event: Nope"},
        {{"watch", "--events="}, "no such event: "},
        {{"watch", "--force"}, "--force goes with --open"},
        {{"close", "--force"}, "unknown option: --force for close"},
        {{"status", "-x"}, "unknown option: -x for status"},
        {{"battery", "middle"}, "which post: start or finish, not middle"},
        {{"inject", "12x"}, "not a start number: 12x"},
        {{"inject", "4294967296"}, "not a start number: 4294967296"},
        {{"set", "BaudRate"}, "set: too few arguments"},
    };
    for (const auto& [arguments, error] : cases) {
        const auto parsed = Parse(arguments);
        EXPECT_FALSE(parsed.options);
        EXPECT_EQ(parsed.error.substr(0, error.size()), error);
    }
    // A usage error is JSON when --json was asked for, wherever it stands.
    EXPECT_TRUE(Parse({"watch", "--bogus", "--json"}).json);
    EXPECT_FALSE(Parse({"write", "--", "--json"}).json);
}

TEST(CtlOptions, DurationsAndPorts) {
    EXPECT_EQ(ctl::ParseDuration("250"), 250ms);
    EXPECT_EQ(ctl::ParseDuration("250ms"), 250ms);
    EXPECT_EQ(ctl::ParseDuration("2s"), 2000ms);
    EXPECT_EQ(ctl::ParseDuration(".5s"), 500ms);
    for (const char* bad : {"", "s", "-1s", "1h", "nans", "1e99s"}) EXPECT_FALSE(ctl::ParseDuration(bad)) << bad;
    EXPECT_EQ(ctl::ParsePort("com12"), 12);
    EXPECT_EQ(ctl::ParsePort("9999"), 9999);
    for (const char* bad : {"", "COM", "03", "COM-1", "1 "}) EXPECT_FALSE(ctl::ParsePort(bad)) << bad;
}

TEST(CtlProperties, EveryPropertyOfBothInterfacesWithItsAccess) {
    std::vector<std::string> readable, writable, line;
    for (const auto& p : ctl::Properties()) {
        if (p.readable) readable.push_back(p.name);
        if (p.writable) writable.push_back(p.name);
        if (p.lineSetting) line.push_back(p.name);
    }
    EXPECT_EQ(readable,
              (std::vector<std::string>{"PortNumber", "StartNumber", "InterCharacterTimeout", "StateDTR",
                                        "StateStartPost", "StateFinishPost", "ReadyToSend", "Parity", "BaudRate",
                                        "DataBits", "StopBits", "ParityCheck", "StateDSR", "StateCTS"}));
    EXPECT_EQ(writable, (std::vector<std::string>{"InterCharacterTimeout", "StateDTR", "StartNumberTest", "ReadyToSend",
                                                  "Parity", "BaudRate", "DataBits", "StopBits", "ParityCheck"}));
    EXPECT_EQ(std::count(line.begin(), line.end(), "InterCharacterTimeout"), 0);
    ASSERT_NE(ctl::FindProperty("baudrate"), nullptr);
    EXPECT_EQ(ctl::FindProperty("baudrate")->type, VT_I4);
    EXPECT_EQ(ctl::FindProperty("DataBits")->type, VT_I2);
    EXPECT_EQ(ctl::FindProperty("StopBits")->type, VT_R4);
    EXPECT_EQ(ctl::FindProperty("Parity")->type, VT_BSTR);
    EXPECT_EQ(ctl::FindProperty("Baud"), nullptr);
}

TEST(CtlProperties, ValuesTheDriverWouldIgnoreAreRefused) {
    const ctl::Property& parity = *ctl::FindProperty("Parity");
    const ctl::Property& stopBits = *ctl::FindProperty("StopBits");
    std::string expected;
    EXPECT_EQ(ctl::CanonicalValue(parity, "odd", &expected), "Odd");  // the driver compares exactly
    EXPECT_EQ(ctl::CanonicalValue(parity, "Oddly", &expected), "");
    EXPECT_EQ(expected, "None, Odd, Even, Mark or Space");
    EXPECT_EQ(ctl::CanonicalValue(stopBits, "1.5", &expected), "1.5");
    EXPECT_EQ(ctl::CanonicalValue(stopBits, "2.5", &expected), "");
    EXPECT_EQ(ctl::CanonicalValue(*ctl::FindProperty("DataBits"), "300", &expected), "");  // the driver keeps 44
    EXPECT_EQ(ctl::CanonicalValue(*ctl::FindProperty("BaudRate"), "9600", &expected), "9600");
}

TEST(CtlValues, TextBecomesAVariantOfTheDeclaredType) {
    struct Case {
        VARTYPE vt;
        const char* text;
        bool ok;
    };
    const Case cases[] = {{VT_I4, "-2147483648", true}, {VT_I4, "2147483648", false}, {VT_I4, "12.5", false},
                          {VT_I2, "32767", true},       {VT_I2, "32768", false},      {VT_R4, "1.5", true},
                          {VT_R4, "inf", false},        {VT_R4, "1e40", false},       {VT_BOOL, "ON", true},
                          {VT_BOOL, "no", true},        {VT_BOOL, "maybe", false},    {VT_BSTR, "Space", true}};
    for (const auto& c : cases) {
        VARIANT v;
        const auto error = ctl::ParseValue(c.vt, c.text, &v);
        EXPECT_EQ(!error, c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v.vt, c.vt) << c.text;
        }
        VariantClear(&v);
    }
    VARIANT on, off;
    ctl::ParseValue(VT_BOOL, "true", &on);
    ctl::ParseValue(VT_BOOL, "0", &off);
    EXPECT_EQ(on.boolVal, VARIANT_TRUE);
    EXPECT_EQ(off.boolVal, VARIANT_FALSE);
}

TEST(CtlEvents, AnEventIsNamedWithItsArgumentsInParameterOrder) {
    const platform::Bstr message(u"'COM3': Access is denied.\r\n");
    VARIANT args[2] = {platform::VariantBstr(message.Get()), platform::VariantI4(3)};  // last first
    DISPPARAMS params{args, nullptr, 2, 0};
    const auto fault = ctl::EventRecord(contract::DIID__ITarvikEvents, 2, params, {});
    EXPECT_EQ(fault.event, "StartNumberFault");
    EXPECT_EQ(fault.text, "StartNumberFault ErrorCode=3 ErrorMessage=\"'COM3': Access is denied.\"");
    ASSERT_EQ(fault.fields.size(), 2u);
    EXPECT_EQ(fault.fields[0].name, "error_code");  // JSON keys in one style, the tools' own
    EXPECT_EQ(fault.fields[1].name, "error_message");
    EXPECT_EQ(std::get<long long>(fault.fields[0].value), 3);
    EXPECT_EQ(std::get<std::string>(fault.fields[1].value), "'COM3': Access is denied.");

    VARIANT volts[2] = {platform::VariantR4(11.98f), platform::VariantBstr(nullptr)};
    DISPPARAMS battery{volts, nullptr, 2, 0};
    EXPECT_EQ(ctl::EventRecord(contract::DIID__ITarvikEvents, 7, battery, {}).text,
              "BatteryTestReady DeviceSelector=- Voltage=11.98");
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(ctl::EventRecord(contract::DIID__ITarvikTestEvents, 1, none, {}).text, "SP_PortOpened");
    EXPECT_EQ(ctl::EventRecord(contract::DIID__ITarvikTestEvents, 9, none, {}).text, "event 9");
}

}  // namespace
}  // namespace trelvane
