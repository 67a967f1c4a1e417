// trelvanectl as a user runs it: its command line, a session against the
// simulated start post with the driver served by a second process, its JSON
// output, and what it tells a user who may not open a port.
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "platform/windows.h"
#include "tests/support/attack_peer.h"
#include "tests/tools/sim_fixture.h"
#include "tools/device_end/device_end.h"
#include "tests/support/host_process.h"
#include "tests/support/ordinary_user.h"
#include "tests/support/stuck_listener.h"
#include "tests/support/test_env.h"
#include "version/version.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;

struct CtlRun {
    std::optional<int> status;
    std::vector<std::string> lines;
    std::string errors;
};

std::unique_ptr<ChildProcess> StartCtl(std::vector<std::string> arguments, bool asNobody = false) {
    arguments.insert(arguments.begin(), TRELVANE_CTL_PATH);
    auto child = std::make_unique<ChildProcess>(arguments, ChildProcess::Options{asNobody});
    EXPECT_TRUE(child->Started());
    return child;
}

CtlRun RunCtl(std::vector<std::string> arguments, bool asNobody = false) {
    auto ctl = StartCtl(std::move(arguments), asNobody);
    CtlRun run;
    run.status = ctl->Wait(30s);
    run.lines = ctl->OutputLines();
    run.errors = ctl->ErrorText();
    return run;
}

std::vector<JsonObject> Objects(const std::vector<std::string>& lines) {
    std::vector<JsonObject> objects;
    for (const auto& line : lines) {
        auto object = JsonLineReader(line).Object();
        EXPECT_TRUE(object) << line;
        if (object) objects.push_back(*object);
    }
    return objects;
}

const JsonObject* Find(const std::vector<JsonObject>& objects, const std::string& event, std::size_t* from = nullptr) {
    for (std::size_t i = from ? *from : 0; i < objects.size(); ++i) {
        if (Text(objects[i], "event") == event) {
            if (from) *from = i + 1;
            return &objects[i];
        }
    }
    return nullptr;
}

class CtlProgram : public ::testing::Test {
protected:
    std::string WriteScript(const std::string& text) {
        const std::string path = home.Path() + "/device.txt";
        std::ofstream(path) << text;
        return path;
    }

    TempHome home;
};

TEST_F(CtlProgram, BadArgumentsGiveStatusTwoAndTheUsage) {
    const std::vector<std::vector<std::string>> cases = {{},
                                                         {"bogus"},
                                                         {"open"},
                                                         {"open", "COM0"},
                                                         {"get", "Baud"},
                                                         {"get", "StartNumberTest"},
                                                         {"set", "Parity", "weird"},
                                                         {"set", "PortNumber", "3"},
                                                         {"set", "DataBits", "300"},
                                                         {"watch", "--for"}};
    for (const auto& arguments : cases) {
        const CtlRun run = RunCtl(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.errors.find("\nUsage: trelvanectl [--json] COMMAND [ARGUMENTS]"), std::string::npos)
            << run.errors;
        EXPECT_TRUE(run.lines.empty());
    }
    const CtlRun help = RunCtl({"--help"});
    EXPECT_EQ(help.status, 0);
    ASSERT_FALSE(help.lines.empty());
    EXPECT_EQ(help.lines[0], "Usage: trelvanectl [--json] COMMAND [ARGUMENTS]");
    for (const char* option : {"--version", "-V"}) {
        const CtlRun version = RunCtl({option});
        EXPECT_EQ(version.status, 0);
        ASSERT_FALSE(version.lines.empty());
        EXPECT_EQ(version.lines[0], std::string("trelvanectl (Trelvane) ") + trelvane::kVersion);
    }

    // With --json a usage error is one JSON object on standard output, as
    // every other failure is.
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--json", "open"}, {"set", "Parity", "weird", "--json"}}) {
        const CtlRun run = RunCtl(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.errors.empty()) << run.errors;
        const auto objects = Objects(run.lines);
        ASSERT_EQ(objects.size(), 1u);
        EXPECT_EQ(Number(objects[0], "schema"), 1);
        EXPECT_EQ(Text(objects[0], "source"), "error");
        EXPECT_EQ(Text(objects[0], "event"), "usage");
        EXPECT_FALSE(Text(objects[0], "message").empty());
    }
}

TEST_F(CtlProgram, WithoutAServingServerStatusSaysSoAndCommandsSayWhatToDo) {
    const CtlRun status = RunCtl({"--json", "status"});
    EXPECT_EQ(status.status, 0);
    const auto objects = Objects(status.lines);
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_FALSE(Flag(objects[0], "registered"));
    EXPECT_FALSE(Flag(objects[1], "running"));
    EXPECT_EQ(Text(objects[1], "home"), home.Path());
    EXPECT_EQ(Text(objects[0], "version"), trelvane::kVersion);
    const std::string log = Text(objects[1], "log");
    EXPECT_EQ(log.rfind(home.Path() + "/log/{", 0), 0u) << log;

    const CtlRun open = RunCtl({"open", "3"});
    EXPECT_EQ(open.status, 1);
    EXPECT_NE(open.errors.find("Class not registered"), std::string::npos) << open.errors;
    EXPECT_NE(open.errors.find("trelvane -RegServer"), std::string::npos) << open.errors;

    // A watcher says what it watches before it waits for the driver.
    const CtlRun watch = RunCtl({"watch", "--open", "3"});
    EXPECT_EQ(watch.status, 1);
    EXPECT_EQ(watch.errors.rfind("watching COM3 (Ctrl-C to stop)\n", 0), 0u) << watch.errors;

    // A process that holds the server's socket and takes no connection is
    // told from none.
    ::mkdir((home.Path() + "/run").c_str(), 0700);  // unless a command above made it
    StuckListener listener(TarvikSocket(home.Path()));
    ASSERT_TRUE(listener.Ok());
    const auto stuck = Objects(RunCtl({"--json", "status"}).lines);
    ASSERT_EQ(stuck.size(), 2u);
    EXPECT_TRUE(Flag(stuck[1], "running"));
    EXPECT_FALSE(Flag(stuck[1], "answering"));
    EXPECT_NE(Text(stuck[1], "message").find("takes no connection"), std::string::npos) << Text(stuck[1], "message");
}

TEST_F(CtlProgram, ASessionAgainstTheSimulatedStartPost) {
    HostProcess host(TRELVANE_TEST_HOST);
    ASSERT_TRUE(host.Start());
    auto sim = StartSim({"--script",
                         WriteScript("battery finish 4\nexpect reset within 20s\nnumber 123\n"
                                     "expect final-ack 123 within 10s\nunequal 5 6\nwait 500ms\n"
                                     "start off\nexpect disconnect within 20s\n"),
                         "COM3"});
    std::size_t simLine = 0;
    ASSERT_TRUE(sim->WaitForLine(Contains("serving COM3"), 10s, &simLine));

    auto watch = StartCtl({"--json", "watch", "--open", "3", "--confirm"});
    auto traced = StartCtl({"--json", "watch", "--events=sp_portclosed,InputReceived"});
    std::size_t watchLine = 0;
    ASSERT_TRUE(watch->WaitForLine(Contains("\"StartPostStateChanged\""), 20s, &watchLine)) << watch->ErrorText();

    // The port is the watcher's: another client takes it only with --force,
    // and opening it again is no change.
    const CtlRun other = RunCtl({"open", "4"});
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.errors.find("another client has COM3 open"), std::string::npos) << other.errors;
    EXPECT_NE(other.errors.find("--force"), std::string::npos) << other.errors;
    const CtlRun again = RunCtl({"open", "COM3"});
    EXPECT_EQ(again.status, 0) << again.errors;
    ASSERT_EQ(again.lines.size(), 1u);
    EXPECT_NE(again.lines[0].find("COM3 is open already"), std::string::npos) << again.lines[0];

    const CtlRun battery = RunCtl({"--json", "battery", "finish"});
    EXPECT_EQ(battery.status, 0) << battery.errors;
    const auto replies = Objects(battery.lines);
    const JsonObject* voltage = Find(replies, "battery");
    ASSERT_NE(voltage, nullptr);
    // A 4 V battery answers after about a second. The driver starts its clock
    // before the simulator sees RTS, so a late thread only lowers the
    // figure: 0.6 V below is 250 ms late, above is the millisecond clock.
    EXPECT_LE(Number(*voltage, "voltage"), 4.02);
    EXPECT_GE(Number(*voltage, "voltage"), 3.4);

    const CtlRun set = RunCtl({"--json", "set", "baudrate", "9600"});
    EXPECT_EQ(set.status, 0) << set.errors;
    const auto setReplies = Objects(set.lines);
    const JsonObject* baud = Find(setReplies, "property");
    ASSERT_NE(baud, nullptr);
    EXPECT_EQ(Text(*baud, "name"), "BaudRate");
    EXPECT_EQ(Number(*baud, "value"), 9600);

    // Another client closes the watcher's port: the watcher says so, and
    // closes nothing at its end.
    EXPECT_EQ(RunCtl({"close"}).status, 0);
    ASSERT_TRUE(watch->WaitForLine(Contains("\"SP_PortClosed\""), 10s, &watchLine));
    ASSERT_TRUE(watch->WaitForLine(Contains("\"port-lost\""), 10s, &watchLine)) << watch->ErrorText();
    watch->Interrupt();
    EXPECT_EQ(watch->Wait(10s), 0) << watch->ErrorText();
    EXPECT_EQ(watch->ErrorText().rfind("watching COM3 (Ctrl-C to stop)\n", 0), 0u) << watch->ErrorText();
    EXPECT_EQ(sim->Wait(20s), 0);
    traced->Interrupt();
    EXPECT_EQ(traced->Wait(10s), 0) << traced->ErrorText();

    // The watcher saw it all, in order, by name.
    const auto seen = Objects(watch->OutputLines());
    std::size_t at = 0;
    for (const char* event :
         {"SP_Reset", "SP_PortOpened", "opened", "StartNumberRequest", "confirmed", "StartNumberFault",
          "StartPostStateChanged", "BatteryTestReady", "SP_PortClosed", "port-lost"})
        EXPECT_NE(Find(seen, event, &at), nullptr) << event;
    EXPECT_EQ(Find(seen, "closed"), nullptr);         // the port it lost is not its to close
    EXPECT_EQ(Find(seen, "InputReceived"), nullptr);  // the bytes only with --trace
    // The other watcher saw what it asked for and nothing else.
    std::set<std::string> tracedEvents;
    for (const auto& object : Objects(traced->OutputLines())) tracedEvents.insert(Text(object, "event"));
    EXPECT_EQ(tracedEvents, (std::set<std::string>{"InputReceived", "SP_PortClosed"}));
    const JsonObject* request = Find(seen, "StartNumberRequest");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(Number(*request, "start_number"), 123);
    EXPECT_EQ(Text(*request, "source"), "event");
    EXPECT_FALSE(Flag(*Find(seen, "StartPostStateChanged"), "state"));
    EXPECT_TRUE(sim->WaitForLine(Contains("final acknowledge (0xf0): start number 123 confirmed"), 0s, &simLine));
    EXPECT_EQ(host.Stop(), 0);
}

TEST_F(CtlProgram, ASecondStopSignalEndsItWhileTheServerDoesNotAnswer) {
    auto device = DeviceEnd::Create(home.Path(), 3);
    ASSERT_TRUE(device);
    HostProcess host(TRELVANE_TEST_HOST);
    ASSERT_TRUE(host.Start());
    auto watch = StartCtl({"--json", "watch", "--open", "3"});
    std::size_t line = 0;
    ASSERT_TRUE(watch->WaitForLine(Contains("\"SP_PortOpened\""), 20s, &line)) << watch->ErrorText();
    // The server stops answering: the first signal ends the watch, whose
    // closing call then waits for ever; the second ends the program.
    ASSERT_EQ(::kill(static_cast<pid_t>(host.Pid()), SIGSTOP), 0);
    watch->Interrupt();
    watch->Terminate();  // another signal, not merged with the first
    const std::optional<int> status = watch->Wait(20s);
    ::kill(static_cast<pid_t>(host.Pid()), SIGCONT);
    EXPECT_EQ(status, std::optional<int>(1));
    EXPECT_TRUE(watch->WaitForLine(Contains("interrupted by SIGTERM while the driver did not answer"), 5s, &line))
        << watch->ErrorText();
}

TEST_F(CtlProgram, AReaderThatGoesAwayEndsTheWatchQuietlyAndItsPortIsClosed) {
    HostProcess host(TRELVANE_TEST_HOST);
    ASSERT_TRUE(host.Start());
    std::string script = "expect reset within 20s\n";
    for (int number = 1; number <= 200; ++number) script += "number " + std::to_string(number) + "\nwait 50ms\n";
    auto sim = StartSim({"--script", WriteScript(script), "COM3"});
    std::size_t simLine = 0;
    ASSERT_TRUE(sim->WaitForLine(Contains("serving COM3"), 10s, &simLine));

    // The reader takes one line and leaves while start numbers keep coming;
    // the watcher's next line finds the pipe closed (timeout bounds a
    // watcher that would miss it).
    auto pipeline = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/bin/sh", "-c",
        "{ timeout 20 \"$0\" watch --open 3; echo \"watch ended with $?\" >&2; } | head -n 1 > /dev/null",
        TRELVANE_CTL_PATH});
    ASSERT_TRUE(pipeline->Started());
    EXPECT_EQ(pipeline->Wait(30s), 0);
    EXPECT_EQ(pipeline->ErrorText(), "watching COM3 (Ctrl-C to stop)\nwatch ended with 0\n");
    // It closed the port it had opened.
    const CtlRun port = RunCtl({"--json", "get", "PortNumber"});
    EXPECT_EQ(port.status, 0) << port.errors;
    ASSERT_EQ(port.lines.size(), 1u);
    EXPECT_NE(port.lines[0].find("-1"), std::string::npos) << port.lines[0];
}

TEST_F(CtlProgram, WithoutAnOpenPortLineSettingsAndConfirmationsAreRefused) {
    HostProcess host(TRELVANE_TEST_HOST);
    ASSERT_TRUE(host.Start());
    const CtlRun baud = RunCtl({"set", "BaudRate", "9600"});
    EXPECT_EQ(baud.status, 1);
    EXPECT_NE(baud.errors.find("no port is open"), std::string::npos) << baud.errors;
    const CtlRun confirm = RunCtl({"confirm"});
    EXPECT_EQ(confirm.status, 1);
    EXPECT_NE(confirm.errors.find("no start number to confirm"), std::string::npos) << confirm.errors;
    const CtlRun timeout = RunCtl({"set", "InterCharacterTimeout", "900"});
    EXPECT_EQ(timeout.status, 0) << timeout.errors;
    ASSERT_EQ(timeout.lines.size(), 1u);
    EXPECT_NE(timeout.lines[0].find("InterCharacterTimeout 900"), std::string::npos);
    const CtlRun missing = RunCtl({"open", "7"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.errors.find("there is no COM7"), std::string::npos) << missing.errors;
    EXPECT_NE(missing.errors.find("trelvane-sim COM7"), std::string::npos) << missing.errors;
    EXPECT_EQ(host.Stop(), 0);
}

TEST_F(CtlProgram, APortTheUserMayNotOpenNamesTheGroupThatOwnsIt) {
    SKIP_UNLESS_ABLE_TO_BE_NOBODY();
    // A pseudo-terminal's device belongs to root and its group, closed to
    // others, as a serial port belongs to root and dialout.
    PtyPort port(home.Path(), 7);
    ASSERT_TRUE(port.Ok());
    struct stat device {};
    ASSERT_EQ(::stat(port.SlavePath().c_str(), &device), 0);
    const group* owner = ::getgrgid(device.st_gid);
    ASSERT_NE(owner, nullptr);
    ASSERT_TRUE(GiveToNobody(home.Path()));
    HostProcess host(TRELVANE_TEST_HOST, {}, /*asNobody=*/true);
    ASSERT_TRUE(host.Start());
    const CtlRun open = RunCtl({"open", "7"}, /*asNobody=*/true);
    EXPECT_EQ(open.status, 1);
    EXPECT_NE(open.errors.find("you may not open " + port.SlavePath() + ": it belongs to the group " +
                               std::string(owner->gr_name)),
              std::string::npos)
        << open.errors;
    EXPECT_EQ(host.Stop(), 0);
}

// The test host registered as the driver's server, as registration writes
// its command line; the class's log, where activation says what it started.
class CtlActivation : public CtlProgram {
protected:
    CtlActivation() {
        HKEY key = nullptr;
        const std::u16string command = platform::FromUtf8("\"" + std::string(TRELVANE_TEST_HOST) + "\"");
        EXPECT_EQ(
            RegCreateKeyExW(HKEY_CLASSES_ROOT, (u"CLSID\\" + platform::FromUtf8(kClsid) + u"\\LocalServer32").c_str(),
                            0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                                 static_cast<DWORD>((command.size() + 1) * sizeof(WCHAR))),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    std::string Log() const { return ReadFile(home.Path() + "/log/" + kClsid + ".log"); }

    static constexpr const char* kClsid = "{979033AA-C8F3-4158-A797-255164FEA439}";
};

TEST_F(CtlActivation, ABoundOfActivationBeyondTenMinutesIsRefusedClearly) {
    for (const char* bound : {"4233600000", "600001", "0", "-5", "30s"}) {
        auto ctl = std::make_unique<ChildProcess>(
            std::vector<std::string>{TRELVANE_CTL_PATH, "get", "PortNumber"},
            ChildProcess::Options{
                false, {std::string("TRELVANE_ACTIVATION_TIMEOUT_MS=") + bound, "TRELVANE_TEST_HOST_START=exit"}});
        EXPECT_EQ(ctl->Wait(30s), 1) << bound;
        EXPECT_NE(ctl->ErrorText().find("TRELVANE_ACTIVATION_TIMEOUT_MS=" + std::string(bound) +
                                        " is not a number of milliseconds from 1 to 600000"),
                  std::string::npos)
            << ctl->ErrorText();
    }
    EXPECT_EQ(Log().find("started"), std::string::npos);  // refused before any server was started
}

TEST_F(CtlActivation, AStopSignalEndsItWhileItWaitsForTheServerToStart) {
    for (bool terminate : {true, false}) {
        auto ctl = std::make_unique<ChildProcess>(
            std::vector<std::string>{TRELVANE_CTL_PATH, "get", "PortNumber"},
            ChildProcess::Options{false, {"TRELVANE_ACTIVATION_TIMEOUT_MS=600000", "TRELVANE_TEST_HOST_START=hang"}});
        // The server that never registers has been started: the activation waits for it.
        const auto bound = std::chrono::steady_clock::now() + 20s;
        while (Log().find("as pid ") == std::string::npos && std::chrono::steady_clock::now() < bound)
            std::this_thread::sleep_for(10ms);
        const std::string log = Log();
        const auto at = log.rfind("as pid ");
        ASSERT_NE(at, std::string::npos) << log;
        terminate ? ctl->Terminate() : ctl->Interrupt();
        EXPECT_EQ(ctl->Wait(20s), 1);  // not after the activation's ten minutes
        EXPECT_NE(ctl->ErrorText().find(std::string("interrupted by ") + (terminate ? "SIGTERM" : "SIGINT") +
                                        " while reaching the driver"),
                  std::string::npos)
            << ctl->ErrorText();
        ::kill(static_cast<pid_t>(std::atol(log.c_str() + at + 7)), SIGKILL);
        ::unlink((home.Path() + "/log/" + kClsid + ".log").c_str());
    }
}

}  // namespace
}  // namespace trelvane
