// trelvanectl as a user runs it: its command line, a session against the
// simulated start post with the driver served by a second process, its JSON
// output, and what it tells a user who may not open a port.
#include <grp.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/tools/sim_fixture.h"
#include "tools/testsupport/host_process.h"
#include "tools/testsupport/ordinary_user.h"
#include "tools/testsupport/test_env.h"

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
    const std::vector<std::vector<std::string>> cases = {
        {}, {"bogus"}, {"open"}, {"open", "COM0"}, {"get", "Baud"}, {"get", "StartNumberTest"},
        {"set", "Parity", "weird"}, {"set", "PortNumber", "3"}, {"set", "DataBits", "300"}, {"watch", "--for"}};
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
}

TEST_F(CtlProgram, WithoutAServerStatusSaysSoAndCommandsSayWhatToDo) {
    const CtlRun status = RunCtl({"--json", "status"});
    EXPECT_EQ(status.status, 0);
    const auto objects = Objects(status.lines);
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_FALSE(Flag(objects[0], "registered"));
    EXPECT_FALSE(Flag(objects[1], "running"));
    EXPECT_EQ(Text(objects[1], "home"), home.Path());

    const CtlRun open = RunCtl({"open", "3"});
    EXPECT_EQ(open.status, 1);
    EXPECT_NE(open.errors.find("Class not registered"), std::string::npos) << open.errors;
    EXPECT_NE(open.errors.find("trelvane -RegServer"), std::string::npos) << open.errors;
}

TEST_F(CtlProgram, ASessionAgainstTheSimulatedStartPost) {
    HostProcess host(TRELVANE_TEST_HOST);
    ASSERT_TRUE(host.Start());
    auto sim = StartSim({"--script", WriteScript("battery finish 4\nexpect reset within 20s\nnumber 123\n"
                                                 "expect final-ack 123 within 10s\nunequal 5 6\nwait 500ms\n"
                                                 "start off\nexpect disconnect within 20s\n"),
                         "COM3"});
    std::size_t simLine = 0;
    ASSERT_TRUE(sim->WaitForLine(Contains("serving COM3"), 10s, &simLine));

    auto watch = StartCtl({"--json", "watch", "--open", "3", "--confirm"});
    std::size_t watchLine = 0;
    ASSERT_TRUE(watch->WaitForLine(Contains("\"StartPostStateChanged\""), 20s, &watchLine)) << watch->ErrorText();

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

    EXPECT_EQ(RunCtl({"close"}).status, 0);
    ASSERT_TRUE(watch->WaitForLine(Contains("\"SP_PortClosed\""), 10s, &watchLine));
    watch->Interrupt();
    EXPECT_EQ(watch->Wait(10s), 0) << watch->ErrorText();
    EXPECT_EQ(sim->Wait(20s), 0);

    // The watcher saw it all, in order, by name.
    const auto seen = Objects(watch->OutputLines());
    std::size_t at = 0;
    for (const char* event : {"SP_Reset", "SP_PortOpened", "opened", "StartNumberRequest", "confirmed",
                              "StartNumberFault", "StartPostStateChanged", "BatteryTestReady", "SP_PortClosed"})
        EXPECT_NE(Find(seen, event, &at), nullptr) << event;
    const JsonObject* request = Find(seen, "StartNumberRequest");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(Number(*request, "StartNumber"), 123);
    EXPECT_EQ(Text(*request, "source"), "event");
    EXPECT_FALSE(Flag(*Find(seen, "StartPostStateChanged"), "state"));
    EXPECT_TRUE(sim->WaitForLine(Contains("final acknowledge (0xf0): start number 123 confirmed"), 0s, &simLine));
    EXPECT_EQ(host.Stop(), 0);
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

}  // namespace
