// The simulator's pure parts: battery answers, commands and the
// naming of what the driver sends.
#include <gtest/gtest.h>

#include <cmath>

#include "protocol/device_bytes.h"
#include "tools/sim/battery.h"
#include "tools/sim/commands.h"
#include "tools/sim/driver_traffic.h"
#include "tools/sim/options.h"
#include "tools/common/record.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;

TEST(SimBattery, TheDelayGivesTheVoltageBackThroughTheDriversFormula) {
    for (double volts : {2.6, 3.955, 6.354, 9.0, 11.3, 12.0, 26.27, 100.0}) {
        const auto delay = sim::BatteryAnswerDelay(volts);
        ASSERT_TRUE(delay) << volts;
        // The driver's arithmetic: seconds and the exponential in single precision.
        const float t = static_cast<float>(delay->count() / 1e6);
        const float e = static_cast<float>(std::exp(-static_cast<double>(t)));
        const float measured = static_cast<float>(2.5 / (1.0 - static_cast<double>(e)));
        EXPECT_NEAR(measured, volts, volts * 1e-3) << volts;
    }
    EXPECT_NEAR(sim::BatteryAnswerDelay(3.955)->count() / 1000.0, 1000, 1);
    EXPECT_NEAR(sim::BatteryAnswerDelay(9.0)->count() / 1000.0, 325, 1);
    for (double volts : {2.5, 2.0, 0.0, -9.0, 100.5, std::nan("")})
        EXPECT_FALSE(sim::BatteryAnswerDelay(volts)) << volts;
}

TEST(SimCommands, LinesParseIntoCommandsOrClearErrors) {
    struct Case {
        const char* line;
        const char* error;  // a part of the error, or null for a valid command
    };
    const Case cases[] = {
        {"number 123", nullptr},
        {"  number 0   # not a comment here: too many words", "expects a start number"},
        {"number 1665", "cannot be sent"},
        {"number 1666", "not a number from 0 to 1665"},
        {"number -1", "not a number"},
        {"number 12x", "not a number"},
        {"number 5 cut 4", "cut expects 1, 2 or 3"},
        {"unequal 5 5", "two different"},
        {"unequal 5", "two start numbers"},
        {"raw 3f 0x7B ff", nullptr},
        {"raw 3g", "not a byte"},
        {"raw 100", "not a byte"},
        {"raw", "one or more bytes"},
        {"start maybe", "on, off or toggle"},
        {"battery finish 2.5", "above 2.5"},
        {"battery middle 9", "start or finish"},
        {"wait 1.5x", "duration"},
        {"wait 2d", "duration"},
        {"expect ack 4", "1, 2 or 3"},
        {"expect ack within", "expects a duration"},
        {"expect ack 1 2", "at most one"},
        {"expect rts maybe", "on or off"},
        {"expect nothing", "not one of"},
        {"expect reset now", "takes no argument"},
        {"status now", "takes no arguments"},
        {"dance", "unknown command 'dance'"},
    };
    for (const auto& c : cases) {
        const auto parsed = sim::ParseCommand(c.line);
        if (!c.error) {
            EXPECT_TRUE(parsed.command) << c.line << ": " << parsed.error;
        } else {
            EXPECT_FALSE(parsed.command) << c.line;
            EXPECT_NE(parsed.error.find(c.error), std::string::npos) << c.line << ": " << parsed.error;
            EXPECT_TRUE(parsed.error.find("(usage: ") != std::string::npos ||
                        parsed.error.find("(help lists the commands)") != std::string::npos)
                << "no hint in: " << parsed.error;
        }
    }
    EXPECT_TRUE(sim::ParseCommand("   ").blank);
    EXPECT_TRUE(sim::ParseCommand("# a comment").blank);
}

TEST(SimCommands, ArgumentsComeOutInTheFormTheEventsCarry) {
    auto parse = [](const char* line) { return *sim::ParseCommand(line).command; };
    const auto number = parse("number 47 cut 2");
    EXPECT_EQ(number.kind, sim::CommandKind::Number);
    EXPECT_EQ(number.number, 47);
    EXPECT_EQ(number.bytesToSend, 2);
    EXPECT_EQ(parse("raw 3f 0x7B").bytes, (std::vector<std::uint8_t>{0x3F, 0x7B}));
    EXPECT_EQ(parse("dsr off").post, sim::PostId::Start);
    EXPECT_EQ(parse("cts toggle").change, sim::LineChange::Toggle);
    EXPECT_EQ(parse("battery finish 12V").volts, std::optional<double>(12.0));
    EXPECT_EQ(parse("battery start none").volts, std::nullopt);
    EXPECT_EQ(parse("sleep 1.5s").duration, 1500ms);
    const auto byte = parse("expect byte 0X4A within 250ms");
    EXPECT_EQ(byte.event, "byte");
    EXPECT_EQ(byte.argument, "0x4a");
    EXPECT_EQ(byte.duration, 250ms);
    const auto text = parse("expect text two words within 2s");
    EXPECT_EQ(text.argument, "two words");
    EXPECT_EQ(text.duration, 2000ms);
    EXPECT_EQ(parse("expect final-ack 007").argument, "7");
    EXPECT_EQ(parse("expect ack").duration, sim::kDefaultExpectTimeout);
    EXPECT_EQ(parse("exit").kind, sim::CommandKind::Quit);
}

TEST(SimOptions, PortNamesAndArguments) {
    EXPECT_EQ(sim::ParsePortName("COM3"), std::optional<int>(3));
    EXPECT_EQ(sim::ParsePortName("com9999"), std::optional<int>(9999));
    EXPECT_EQ(sim::ParsePortName("3"), std::optional<int>(3));  // as trelvanectl takes it
    for (const char* bad : {"COM0", "COM03", "COM10000", "COM", "LPT1", "COM3x", "0", "03", "10000", "-3"})
        EXPECT_FALSE(sim::ParsePortName(bad)) << bad;
    const auto parsed = sim::ParseArguments({"--json", "--script=s.txt", "--stay", "Com12"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_TRUE(parsed.options->json && parsed.options->stay);
    EXPECT_EQ(parsed.options->script, "s.txt");
    EXPECT_EQ(parsed.options->port, 12);
    EXPECT_EQ(parsed.options->portName, "COM12");
    EXPECT_EQ(sim::ParseArguments({"7"}).options->portName, "COM7");
    EXPECT_TRUE(sim::ParseArguments({"--help"}).options->help);
    EXPECT_TRUE(sim::ParseArguments({"-V"}).options->version);
}

std::vector<std::string> Events(const std::vector<tools::Record>& records) {
    std::vector<std::string> events;
    for (const auto& r : records) events.push_back(r.event + (r.key.empty() ? "" : " " + r.key));
    return events;
}

std::vector<std::string> Receive(sim::DriverTraffic& traffic, std::initializer_list<std::uint8_t> bytes) {
    std::vector<std::string> events;
    for (auto byte : bytes) {
        const auto named = Events(traffic.Received(byte));
        events.insert(events.end(), named.begin(), named.end());
    }
    return events;
}

TEST(SimDriverTraffic, AcknowledgesFollowTheFrameAsTheDriverCountsIt) {
    sim::DriverTraffic traffic;
    traffic.Connected();
    const sim::FrameName name{"start number 123", "123"};
    constexpr std::uint8_t ack = protocol::kAcknowledge, reset = protocol::kReset;
    const std::uint8_t sent[] = {0x3F, reset, 0x7B, ack, 0x3F, 0x7B};
    std::vector<int> places;
    for (std::uint8_t byte : sent) places.push_back(traffic.DeviceSent(byte, name));
    EXPECT_EQ(places, (std::vector<int>{1, 0, 2, 0, 3, 4}));  // reset and acknowledge never count
    EXPECT_EQ(Receive(traffic, {ack, ack, ack, ack, ack}),
              (std::vector<std::string>{"ack 1", "ack 2", "ack 3", "final-ack 123", "final-ack 123"}));
    EXPECT_EQ(Receive(traffic, {reset, ack}), (std::vector<std::string>{"reset", "stray-ack"}));

    // A frame cut short and one sent after it make one frame for the driver.
    traffic.DeviceSent(0x3F, name);
    EXPECT_EQ(traffic.DeviceSent(0x1F, sim::FrameName{"start number 47", "47"}), 2);
    traffic.DeviceSent(0xFD);
    traffic.DeviceSent(0x1F);
    EXPECT_EQ(Receive(traffic, {ack, ack, ack, ack}),
              (std::vector<std::string>{"ack 1", "ack 2", "ack 3", "final-ack 123"}));
    traffic.Disconnected();
    EXPECT_EQ(Receive(traffic, {ack}), (std::vector<std::string>{"stray-ack"}));
}

TEST(SimDriverTraffic, RawTextLinesAndSettingsAreNamed) {
    sim::DriverTraffic traffic;
    traffic.Connected();
    EXPECT_EQ(Receive(traffic, {'A', 0xF0, '\n'}),
              (std::vector<std::string>{"byte 0x41", "byte 0xf0", "byte 0x0a", "text A\xF0"}));
    EXPECT_EQ(Events(traffic.Lines(0x03)), (std::vector<std::string>{"dtr on", "rts on"}));
    EXPECT_EQ(Events(traffic.Lines(0x01)), (std::vector<std::string>{"rts off"}));
    EXPECT_EQ(Events(traffic.Connected()), (std::vector<std::string>{"connect"}));
    EXPECT_EQ(Events(traffic.Lines(0x01)), (std::vector<std::string>{"dtr on"}));  // lines start off per connection
    const auto settings = traffic.SettingsRequested({9600, 7, 2, 2}, false);
    ASSERT_EQ(settings.size(), 1u);
    EXPECT_EQ(settings[0].key, "9600");
    EXPECT_NE(settings[0].text.find("refused"), std::string::npos);
    EXPECT_NE(settings[0].text.find("the start post runs at 68 baud"), std::string::npos);
    EXPECT_EQ(Receive(traffic, {'x'}), (std::vector<std::string>{"byte 0x78"}));
    EXPECT_EQ(Events(traffic.Disconnected()), (std::vector<std::string>{"text x", "disconnect"}));
}

TEST(SimRecords, JsonStaysValidForAnyBytes) {
    const tools::Record record{std::chrono::system_clock::time_point(std::chrono::milliseconds(1234)),
                               "driver",
                               "text",
                               "",
                               "quote \" backslash \\ tab \t",
                               {{"text", std::string("ok \xC3\xA9 bad \xFF\x01")},
                                {"n", 5LL},
                                {"b", false},
                                {"v", 1.5},
                                {"bytes", std::vector<int>{1, 2}}}};
    EXPECT_EQ(tools::FormatJson(record),
              "{\"schema\":1,\"time\":\"1970-01-01T00:00:01.234Z\",\"source\":\"driver\",\"event\":\"text\","
              "\"message\":\"quote \\\" backslash \\\\ tab \\t\",\"text\":\"ok \xC3\xA9 bad \\ufffd\\u0001\","
              "\"n\":5,\"b\":false,\"v\":1.5,\"bytes\":[1,2]}");
    EXPECT_EQ(tools::Printable("a\xC3\xA9\n\xFF"), "a\xC3\xA9\\x0a\\xff");
}

}  // namespace
}  // namespace trelvane
