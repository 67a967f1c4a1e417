// The driver on the session bus, as bus clients meet it: a private bus
// daemon whose service folder starts the build's server on the first call,
// clients in Python and busctl, and the start post played by trelvane-sim.
#include <gtest/gtest.h>

#include <filesystem>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "contract/dbus.h"
#include "protocol/frame_coding.h"
#include "tests/tools/json_line.h"
#include "tests/tools/sim_fixture.h"
#include "tests/support/reachable_program.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;

constexpr auto kWait = 20s;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// A Python client (tests/dbus/bus_client.py): answers and signals as JSON lines.
class BusClient {
public:
    explicit BusClient(const std::string& address, bool asNobody = false)
        : m_process(std::make_unique<ChildProcess>(
              std::vector<std::string>{"/usr/bin/python3", "-c", Script()},
              ChildProcess::Options{asNobody, {"DBUS_SESSION_BUS_ADDRESS=" + address}})) {
        std::size_t from = 0;
        m_ready = m_process->WaitForLine(Contains("{\"ready\""), kWait, &from).has_value();
    }
    // The client's text, handed over whole: the checkout may lie where the
    // user the client runs as cannot read.
    static std::string Script() {
        std::ifstream file(TRELVANE_SOURCE_DIR "/tests/dbus/bus_client.py", std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
    bool Ready() const { return m_ready; }
    ChildProcess& Process() { return *m_process; }

    // The answer to a command: {"reply": ...} or {"error": ...}.
    std::string Ask(const std::string& command) {
        m_process->Write(command + "\n");
        const auto line = m_process->WaitForLine(
            [](const std::string& l) { return StartsWith(l, "{\"reply\"") || StartsWith(l, "{\"error\""); }, kWait,
            &m_answers);
        return line.value_or("no answer to " + command + "; stderr: " + m_process->ErrorText());
    }
    // The next signal line (or PropertiesChanged line) holding part.
    std::string Next(const std::string& part) {
        const auto line = m_process->WaitForLine(
            [&](const std::string& l) {
                return (StartsWith(l, "{\"args\"") || StartsWith(l, "{\"invalidated\"") ||
                        StartsWith(l, "{\"name-gone\"")) &&
                       l.find(part) != std::string::npos;
            },
            kWait, &m_signals);
        if (line) return *line;
        std::string seen;  // what came instead, for the failure's message
        for (const auto& name : SignalNames()) seen += " " + name;
        return "no signal with " + part + "; signals received:" + seen;
    }
    // The names of the signals received so far, in order.
    std::vector<std::string> SignalNames() {
        std::vector<std::string> names;
        const std::string key = "\"signal\": \"";
        for (const auto& line : m_process->OutputLines())
            if (const auto at = line.rfind(key); at != std::string::npos)
                names.push_back(line.substr(at + key.size(), line.find('"', at + key.size()) - at - key.size()));
        return names;
    }

    // The signals received after the first one named after, each as its
    // name and its arguments as the client prints them
    // ("StartNumberRequest 5", "InputReceived \"Read: '0x3f'\"").
    std::vector<std::string> SignalsAfter(const std::string& after) {
        std::vector<std::string> signals;
        bool started = false;
        const std::string head = "{\"args\": [", tail = "], \"signal\": \"";
        for (const auto& line : m_process->OutputLines()) {
            const auto end = line.rfind(tail);
            if (!StartsWith(line, head) || end == std::string::npos) continue;
            const std::string name = line.substr(end + tail.size(), line.size() - end - tail.size() - 2);
            if (started) signals.push_back(name + " " + line.substr(head.size(), end - head.size()));
            started = started || name == after;
        }
        return signals;
    }

private:
    std::unique_ptr<ChildProcess> m_process;
    bool m_ready = false;
    std::size_t m_answers = 0;
    std::size_t m_signals = 0;
};

class DbusFace : public ::testing::Test {
protected:
    void SetUp() override { StartDaemon(false); }

    // The servers the bus started write to the daemon's standard error: a
    // sanitizer's report there (in the sanitizer builds) fails the test.
    void TearDown() override {
        m_daemon->Resume();  // a test that stopped it may have failed before resuming it
        m_daemon->Terminate();
        m_daemon->Wait(kWait);
        for (const char* report : {"Sanitizer", "runtime error"})
            EXPECT_EQ(m_daemon->ErrorText().find(report), std::string::npos) << m_daemon->ErrorText();
    }

    void StartDaemon(bool asNobody) {
        if (m_daemon) m_daemon->Terminate();
        // The bus starts the test server from a service folder in the home,
        // through a copy that the daemon's user may run.
        if (asNobody && !m_server) m_server = std::make_unique<ReachableProgram>(TRELVANE_TEST_SERVER);
        const std::string services = home.Path() + "/services";
        std::filesystem::create_directories(services);
        std::ofstream(services + "/org.trelvane.Tarvik1.service")
            << "[D-BUS Service]\nName=org.trelvane.Tarvik1\nExec="
            << (asNobody ? m_server->Path() : std::string(TRELVANE_TEST_SERVER)) << "\n";
        const std::string config = home.Path() + "/bus.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                 "<busconfig>\n  <type>session</type>\n  <listen>unix:dir="
                              << home.Path() << "</listen>\n  <servicedir>" << services
                              << "</servicedir>\n"
                                 "  <policy context=\"default\">\n"
                                 "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                 "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
                                 "  </policy>\n</busconfig>\n";
        // The server the bus starts takes its environment from the bus: the
        // test's home, and short intervals so that its end can be waited for.
        m_daemon = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/dbus-daemon", "--nofork", "--print-address=1",
                                     "--config-file=" + config},
            ChildProcess::Options{
                asNobody,
                {"TRELVANE_HOME=" + home.Path(), "TRELVANE_TEST_SHUTDOWN_MS=300", "TRELVANE_TEST_PAUSE_MS=0"}});
        std::size_t from = 0;
        const auto line = m_daemon->WaitForLine(Contains("unix:"), kWait, &from);
        ASSERT_TRUE(line) << m_daemon->ErrorText();
        address = *line;
    }

    std::unique_ptr<BusClient> Client() {
        auto client = std::make_unique<BusClient>(address);
        EXPECT_TRUE(client->Ready()) << client->Process().ErrorText();
        return client;
    }

    std::unique_ptr<ChildProcess> ServeCom3(bool asNobody = false) {
        auto sim = StartSim({"COM3"}, {asNobody, {"TRELVANE_HOME=" + home.Path()}});
        std::size_t from = 0;
        EXPECT_TRUE(sim->WaitForLine(Contains("serving COM3"), kWait, &from));
        return sim;
    }

    // An automation client that opens COM3 and prints every event, once the
    // port is open (null when it did not open); *seen is past the opening.
    std::unique_ptr<ChildProcess> WatchOpeningCom3(std::size_t* seen) {
        auto ctl = std::make_unique<ChildProcess>(
            std::vector<std::string>{TRELVANE_CTL_PATH, "--json", "watch", "--trace", "--open", "3"},
            ChildProcess::Options{false, {"TRELVANE_HOME=" + home.Path()}});
        *seen = 0;
        if (ctl->WaitForLine(Contains("\"SP_PortOpened\""), kWait, seen)) return ctl;
        ADD_FAILURE() << "the automation client did not open the port: " << ctl->ErrorText();
        return nullptr;
    }

    // Plays the device: a command to the simulator, and the line it shows
    // for what was expected.
    static bool Device(ChildProcess& sim, const std::string& command, const std::string& shown, std::size_t* from) {
        sim.Write(command + "\n");
        return shown.empty() || sim.WaitForLine(Contains(shown), kWait, from).has_value();
    }

    // Whether the simulator has taken the reset with which the driver opens
    // the port: a frame sent before would meet it halfway, and the
    // simulator fails the frame and pulls the cable.
    static bool ResetTaken(ChildProcess& sim, std::size_t* from) {
        return sim.WaitForLine(Contains("reset (0x00)"), kWait, from).has_value();
    }

    // A server started by the test, with the environment that activation
    // would give it (and short intervals, so that it ends by itself).
    std::unique_ptr<ChildProcess> StartServer(const std::vector<std::string>& environment) {
        std::vector<std::string> full{"TRELVANE_HOME=" + home.Path(), "DBUS_SESSION_BUS_ADDRESS=" + address,
                                      "TRELVANE_TEST_SHUTDOWN_MS=300", "TRELVANE_TEST_PAUSE_MS=0"};
        full.insert(full.end(), environment.begin(), environment.end());
        return std::make_unique<ChildProcess>(std::vector<std::string>{TRELVANE_TEST_SERVER, "-Embedding"},
                                              ChildProcess::Options{false, full});
    }
    // Once its clients have let go, it ends by itself, without a report.
    static void ExpectEndsCleanly(ChildProcess& server) {
        EXPECT_EQ(server.Wait(kWait), 0) << server.ErrorText();
        for (const char* report : {"Sanitizer", "runtime error"})
            EXPECT_EQ(server.ErrorText().find(report), std::string::npos) << server.ErrorText();
    }

    TempHome home;
    std::string address;
    std::unique_ptr<ChildProcess> m_daemon;
    std::unique_ptr<ReachableProgram> m_server;
};

// What is served and what is installed are the contract's.
TEST_F(DbusFace, IntrospectionIsWrittenFromTheContractAndTheFirstCallStartsTheServer) {
    std::ifstream file(TRELVANE_SOURCE_DIR "/contract/org.trelvane.Tarvik1.xml", std::ios::binary);
    std::stringstream installed;
    installed << file.rdbuf();
    EXPECT_EQ(installed.str(), contract::dbus::RenderInterfaceFile())
        << "contract/org.trelvane.Tarvik1.xml is out of date: regenerate it with build/tools/trelvane-idl --dbus "
           "contract/org.trelvane.Tarvik1.xml";

    ChildProcess busctl({"/usr/bin/busctl", "--user", "call", "org.trelvane.Tarvik1", "/org/trelvane/Tarvik",
                         "org.freedesktop.DBus.Introspectable", "Introspect"},
                        {false, {"DBUS_SESSION_BUS_ADDRESS=" + address}});
    ASSERT_EQ(busctl.Wait(kWait), 0) << busctl.ErrorText();
    std::string served;
    for (const auto& line : busctl.OutputLines()) served += line + "\n";
    // busctl shows the text as s "...", with quotation marks and line ends escaped.
    std::string expected;
    for (char c : contract::dbus::RenderIntrospection())
        expected += c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    EXPECT_EQ(served, "s \"" + expected + "\"\n");
}

TEST_F(DbusFace, OpenANumberConfirmedAFaultABatteryTestAndClose) {
    auto sim = ServeCom3();
    std::size_t shown = 0;
    ASSERT_TRUE(Device(*sim, "battery start 11.5", "", &shown));
    auto client = Client();
    EXPECT_EQ(client->Ask("call Open [3]"), "{\"reply\": [0]}");
    ASSERT_TRUE(ResetTaken(*sim, &shown));
    EXPECT_EQ(client->Next("SP_Reset"), "{\"args\": [], \"signal\": \"SP_Reset\"}");
    EXPECT_EQ(client->Next("SP_PortOpened"), "{\"args\": [], \"signal\": \"SP_PortOpened\"}");
    EXPECT_EQ(client->Next("PortNumber"), "{\"invalidated\": [\"PortNumber\", \"StartNumber\"], \"properties\": {}}");
    EXPECT_EQ(client->Ask("get PortNumber"), "{\"reply\": [3]}");

    ASSERT_TRUE(Device(*sim, "number 123", "", &shown));
    EXPECT_EQ(client->Next("StartNumberRequest"), "{\"args\": [123], \"signal\": \"StartNumberRequest\"}");
    EXPECT_EQ(client->Ask("call StartNumberOK [124]"),
              "{\"error\": \"org.trelvane.Tarvik1.Error.Refused\", \"message\": \"The request was refused. "
              "(0x00000001)\"}");
    EXPECT_EQ(client->Ask("call StartNumberOK [123]"), "{\"reply\": []}");
    EXPECT_TRUE(sim->WaitForLine(Contains("final acknowledge (0xf0): start number 123 confirmed"), kWait, &shown))
        << "the device saw no final acknowledge";

    ASSERT_TRUE(Device(*sim, "unequal 12 34", "", &shown));
    EXPECT_EQ(client->Next("StartNumberFault"),
              "{\"args\": [1, \"Bytes in 1st and 2nd set not equal\"], \"signal\": \"StartNumberFault\"}");

    EXPECT_EQ(client->Ask("call StartBatteryTest [\"StartPost\"]"), "{\"reply\": []}");
    // The voltage is measured in time, which a busy machine stretches: only its presence is checked.
    const std::string battery = client->Next("BatteryTestReady");
    EXPECT_TRUE(StartsWith(battery, "{\"args\": [\"StartPost\", ")) << battery;

    EXPECT_EQ(client->Ask("call Close"), "{\"reply\": []}");
    EXPECT_EQ(client->Next("SP_PortClosed"), "{\"args\": [], \"signal\": \"SP_PortClosed\"}");
    EXPECT_EQ(client->Ask("get PortNumber"), "{\"reply\": [-1]}");
    EXPECT_TRUE(sim->WaitForLine(Contains("disconnected"), kWait, &shown));
}

TEST_F(DbusFace, ABusClientAndAnAutomationClientSeeTheSameEvents) {
    auto sim = ServeCom3();
    auto client = Client();
    ASSERT_EQ(client->Ask("get PortNumber"), "{\"reply\": [-1]}");  // the bus has started the server
    std::size_t seen = 0;
    auto watch = WatchOpeningCom3(&seen);
    ASSERT_TRUE(watch);
    ChildProcess& ctl = *watch;
    std::size_t shown = 0;
    ASSERT_TRUE(ResetTaken(*sim, &shown));
    ASSERT_TRUE(Device(*sim, "number 77", "", &shown));
    ASSERT_TRUE(ctl.WaitForLine(Contains("\"StartNumberRequest\""), kWait, &seen));
    EXPECT_EQ(client->Ask("set StartNumberTest i 5"), "{\"reply\": []}");
    ASSERT_TRUE(ctl.WaitForLine(Contains("\"StartNumberRequest\""), kWait, &seen));
    ctl.Interrupt();  // it closes the port it opened
    ASSERT_EQ(ctl.Wait(kWait), 0) << ctl.ErrorText();
    EXPECT_EQ(client->Next("SP_PortClosed"), "{\"args\": [], \"signal\": \"SP_PortClosed\"}");

    std::vector<std::string> automation;
    for (const auto& line : ctl.OutputLines()) {
        const auto object = JsonLineReader(line).Object();
        if (object && Text(*object, "source") == "event") automation.push_back(Text(*object, "event"));
    }
    EXPECT_EQ(client->SignalNames(), automation);
    EXPECT_GE(automation.size(), 10u);  // reset, opened, four bytes in, their acknowledges, two numbers, closed
}

// Each bus client sees every frame byte read before the acknowledge written
// for it, and the fourth before the start number it completes, told apart
// by the bytes' values: a swap anywhere in many frames shows.
TEST_F(DbusFace, EveryBusClientSeesEachByteBeforeItsAcknowledgeAndItsStartNumber) {
    auto sim = ServeCom3();
    auto opener = Client();
    auto listener = Client();
    // A call through each makes sure its signal match is in place.
    ASSERT_EQ(listener->Ask("get PortNumber"), "{\"reply\": [-1]}");
    ASSERT_EQ(opener->Ask("call Open [3]"), "{\"reply\": [0]}");
    std::vector<std::string> expected;
    const auto input = [&](const char* direction, int byte, const char* label) {
        char text[64];
        std::snprintf(text, sizeof text, "InputReceived \"%s: '%#x'%s\"", direction, static_cast<unsigned>(byte),
                      label);
        expected.push_back(text);
    };
    std::size_t shown = 0;
    ASSERT_TRUE(ResetTaken(*sim, &shown));
    int lastNumber = 0;
    for (int frame = 0; frame < 30; ++frame) {
        const int number = lastNumber = 1 + frame * 53 % 999;  // numbers whose bytes differ from frame to frame
        const auto bytes = protocol::EncodeFrame(number);
        ASSERT_TRUE(bytes);
        for (std::size_t i = 0; i < bytes->size(); ++i) {
            input("Read", (*bytes)[i], "");
            if (i < 3) input("Write", 0xf0, " (Acknowledge)");
        }
        expected.push_back("StartNumberRequest " + std::to_string(number));
        input("Write", 0xf0, " (Acknowledge)");  // the confirmation

        const std::string args = "\"args\": [" + std::to_string(number) + "]";
        ASSERT_TRUE(Device(*sim, "number " + std::to_string(number), "", &shown));
        ASSERT_EQ(opener->Next(args), "{" + args + ", \"signal\": \"StartNumberRequest\"}");
        ASSERT_EQ(opener->Ask("call StartNumberOK [" + std::to_string(number) + "]"), "{\"reply\": []}");
        ASSERT_TRUE(sim->WaitForLine(Contains("start number " + std::to_string(number) + " confirmed"), kWait, &shown));
    }
    // Everything has arrived once the last confirmation has.
    ASSERT_TRUE(StartsWith(listener->Next("\"args\": [" + std::to_string(lastNumber) + "]"), "{\"args\""));
    for (BusClient* client : {opener.get(), listener.get()}) {
        ASSERT_TRUE(StartsWith(client->Next("(Acknowledge)"), "{\"args\""));
        std::vector<std::string> seen = client->SignalsAfter("SP_PortOpened");
        std::erase_if(seen, [](const std::string& signal) {
            return !StartsWith(signal, "InputReceived") && !StartsWith(signal, "StartNumberRequest");
        });
        EXPECT_EQ(seen, expected);
    }
}

// A bus daemon that takes nothing (stopped here) must not hold the
// listener: the device's bytes are acknowledged and the automation client
// sees every event, while the signals beyond a bounded queue are dropped
// with a log line; once the daemon reads again the bus is served as before.
TEST_F(DbusFace, AStalledBusDelaysNoAcknowledgeAndQueuesABoundedNumberOfSignals) {
    auto sim = ServeCom3();
    auto client = Client();
    ASSERT_EQ(client->Ask("get PortNumber"), "{\"reply\": [-1]}");  // the bus has started the server
    std::size_t seen = 0;
    auto watch = WatchOpeningCom3(&seen);
    ASSERT_TRUE(watch);
    ChildProcess& ctl = *watch;

    m_daemon->Pause();
    // Bytes the driver takes and drops (acknowledge bytes), one InputReceived
    // each, a line of them at a time as the port's input queue takes them,
    // until the server says it drops signals: more than its socket (sd-bus
    // asks for 8 MiB, which the kernel doubles: some 20000 to 30000 small
    // signals) and the bounded queue behind it hold together. The automation
    // client sees every one.
    constexpr int kMostLines = 200, kBytesPerLine = 500;
    const std::string dropping = "signals are dropped until it takes them";
    std::string flood = "raw";
    for (int i = 0; i < kBytesPerLine; ++i) flood += " f0";
    std::size_t shown = 0, logged = 0;
    ASSERT_TRUE(ResetTaken(*sim, &shown));
    for (int i = 0; i < kMostLines && !m_daemon->WaitForError(dropping, 0ms, &logged); ++i) {
        ASSERT_TRUE(Device(*sim, flood, "", &shown));
        int reads = 0;
        ASSERT_TRUE(ctl.WaitForLine(
            [&](const std::string& l) {
                return l.find("Read: '0xf0'") != std::string::npos && ++reads == kBytesPerLine;
            },
            kWait, &seen))
            << "the automation client saw " << reads << " of " << kBytesPerLine << " bytes of line " << i;
    }
    EXPECT_TRUE(logged > 0 || m_daemon->WaitForError(dropping, kWait, &logged))
        << "no signal was dropped: the queue has no bound";
    // Each frame byte goes out only after the acknowledge of the one before,
    // which the start post waits for two seconds at most.
    for (int number : {101, 202, 303}) {
        ASSERT_TRUE(Device(*sim, "number " + std::to_string(number), "", &shown));
        ASSERT_TRUE(ctl.WaitForLine(
            [&](const std::string& l) {
                return l.find("\"StartNumberRequest\"") != std::string::npos &&
                       l.find(std::to_string(number)) != std::string::npos;
            },
            kWait, &seen))
            << "start number " << number << " did not arrive while the bus was stalled";
    }
    for (const auto& line : sim->OutputLines()) EXPECT_EQ(line.find("no acknowledge"), std::string::npos) << line;

    m_daemon->Resume();
    EXPECT_TRUE(m_daemon->WaitForError("the session bus takes signals again", kWait, &logged)) << m_daemon->ErrorText();
    EXPECT_EQ(client->Ask("get PortNumber"), "{\"reply\": [3]}");
    ASSERT_TRUE(Device(*sim, "number 404", "", &shown));
    EXPECT_EQ(client->Next("\"args\": [404]"), "{\"args\": [404], \"signal\": \"StartNumberRequest\"}");
    ctl.Interrupt();
    EXPECT_EQ(ctl.Wait(kWait), 0) << ctl.ErrorText();
}

TEST_F(DbusFace, AClientHoldsTheServerUntilItLeavesOrReleases) {
    auto watcher = Client();
    auto holder = Client();
    ASSERT_EQ(holder->Ask("set InterCharacterTimeout i 700"), "{\"reply\": []}");
    watcher->Process().Write("watch-name\n");
    // Held: three idle intervals pass and the server still answers with
    // what it was told (a new server would say 1500).
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(watcher->Ask("get InterCharacterTimeout"), "{\"reply\": [700]}");
    EXPECT_EQ(watcher->Ask("call Release"), "{\"reply\": []}");
    holder->Process().Kill();
    EXPECT_EQ(watcher->Next("name-gone"), "{\"name-gone\": true}") << "the killed client's hold was kept";

    // Release ends a hold; the calls after it take a new one.
    auto again = Client();
    EXPECT_EQ(again->Ask("get InterCharacterTimeout"), "{\"reply\": [1500]}");
    EXPECT_EQ(again->Ask("call Release"), "{\"reply\": []}");
    EXPECT_EQ(watcher->Next("name-gone"), "{\"name-gone\": true}") << "Release kept the hold";
}

TEST_F(DbusFace, BadArgumentsAndUnknownMembersGetClearErrorsAndChangeNothing) {
    auto holder = Client();
    auto client = Client();
    const std::string initial = holder->Ask("getall");
    ASSERT_TRUE(StartsWith(initial, "{\"reply\": [{\"BaudRate\": -1,")) << initial;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"typed Open s [\"3\"]",
         "{\"error\": \"org.freedesktop.DBus.Error.InvalidArgs\", \"message\": \"Open takes (i), not (s)\"}"},
        {"typed Open ii [3, 4]",
         "{\"error\": \"org.freedesktop.DBus.Error.InvalidArgs\", \"message\": \"Open takes (i), not (ii)\"}"},
        {"call Nope",
         "{\"error\": \"org.freedesktop.DBus.Error.UnknownMethod\", \"message\": \"There is no method Nope() in "
         "org.trelvane.Tarvik1\"}"},
        {"iface org.example.Other Open",
         "{\"error\": \"org.freedesktop.DBus.Error.UnknownInterface\", \"message\": \"The object has no interface "
         "org.example.Other\"}"},
        {"set PortNumber i 4",
         "{\"error\": \"org.freedesktop.DBus.Error.PropertyReadOnly\", \"message\": \"PortNumber is read-only\"}"},
        {"set InterCharacterTimeout s \"9\"",
         "{\"error\": \"org.freedesktop.DBus.Error.InvalidArgs\", \"message\": \"InterCharacterTimeout takes a value "
         "of type i, not s\"}"},
        {"set StopBits d 1e300",
         "{\"error\": \"org.freedesktop.DBus.Error.InvalidArgs\", \"message\": \"StopBits: Out of present range. "
         "(0x8002000A)\"}"},
        {"get StartNumberTest",
         "{\"error\": \"org.freedesktop.DBus.Error.InvalidArgs\", \"message\": \"StartNumberTest is write-only\"}"},
        {"get Bogus",
         "{\"error\": \"org.freedesktop.DBus.Error.UnknownProperty\", \"message\": \"There is no property Bogus\"}"},
    };
    for (const auto& [command, error] : cases) EXPECT_EQ(client->Ask(command), error) << command;
    EXPECT_EQ(holder->Ask("getall"), initial);
    // None of them took a hold: once the holder lets go the server ends,
    // while the client that made them stays on the bus.
    holder->Process().Write("watch-name\n");
    EXPECT_EQ(holder->Ask("call Release"), "{\"reply\": []}");
    EXPECT_EQ(holder->Next("name-gone"), "{\"name-gone\": true}") << "a refused call took a hold";
}

// A server started for an automation client loads the bus library beside
// its first answers and then joins the bus: one server serves both faces.
// Without the library it says so and serves automation clients alone.
TEST_F(DbusFace, AServerStartedForAnAutomationClientJoinsTheBusOnceTheLibraryHasLoaded) {
    auto server = StartServer({});
    ChildProcess named({"/usr/bin/gdbus", "wait", "--session", "--timeout", "20", contract::dbus::kBusName},
                       {false, {"DBUS_SESSION_BUS_ADDRESS=" + address}});
    ASSERT_EQ(named.Wait(kWait), 0) << "the server did not take the bus name: " << server->ErrorText();
    auto client = Client();
    client->Process().Write("pid\n");
    std::size_t from = 0;
    EXPECT_TRUE(
        client->Process().WaitForLine(Contains("{\"pid\": " + std::to_string(server->Pid()) + "}"), kWait, &from))
        << "another server took the bus name";
    EXPECT_EQ(client->Ask("get PortNumber"), "{\"reply\": [-1]}");
    EXPECT_EQ(client->Ask("call Release"), "{\"reply\": []}");
    ExpectEndsCleanly(*server);
}

TEST_F(DbusFace, WithoutTheBusLibraryTheServerSaysSoAndServesAutomationClients) {
    auto server = StartServer({"TRELVANE_TEST_FAULT=bus-library"});
    std::size_t from = 0;
    EXPECT_TRUE(server->WaitForError("cannot load libtrelvane-no-such-bus-library.so.0: ", kWait, &from))
        << server->ErrorText();
    EXPECT_TRUE(server->WaitForError("; serving automation clients only\n", kWait, &from)) << server->ErrorText();
    ChildProcess ctl({TRELVANE_CTL_PATH, "get", "InterCharacterTimeout"}, {false, {"TRELVANE_HOME=" + home.Path()}});
    EXPECT_EQ(ctl.Wait(kWait), 0) << ctl.ErrorText();
    from = 0;
    EXPECT_TRUE(ctl.WaitForLine(Contains("reply     InterCharacterTimeout 1500"), 0ms, &from));
    ExpectEndsCleanly(*server);
}

// Root passes checks that others do not: the bus, the server it starts, the
// simulator and the client all as nobody, in a home of nobody's.
TEST_F(DbusFace, AnOrdinaryUserOpensThePortThroughTheBus) {
    if (!Nobody()) GTEST_SKIP() << "this machine has no user nobody";
    auto probe = StartSim({"--help"}, {.asNobody = true});
    if (probe->Wait(10s) == 126) GTEST_SKIP() << "cannot switch to nobody: the tests already run as an ordinary user";
    ASSERT_TRUE(GiveToNobody(home.Path()));
    StartDaemon(true);
    auto sim = ServeCom3(true);
    BusClient client(address, true);
    ASSERT_TRUE(client.Ready()) << client.Process().ErrorText();
    EXPECT_EQ(client.Ask("call Open [3]"), "{\"reply\": [0]}");
    EXPECT_EQ(client.Next("SP_PortOpened"), "{\"args\": [], \"signal\": \"SP_PortOpened\"}");
    EXPECT_EQ(client.Ask("call Close"), "{\"reply\": []}");
}

}  // namespace
}  // namespace trelvane
