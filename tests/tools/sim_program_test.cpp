// trelvane-sim as a program: its command line, the port link it makes and
// removes, scripts, the JSON output, and a port opened through the comm calls.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <functional>

#include "platform/windows.h"
#include "tests/tools/sim_fixture.h"
#include "tests/support/ordinary_user.h"
#include "tests/support/test_env.h"
#include "version/version.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;

// Whether text has the shape of pattern, where # stands for any digit.
bool Shaped(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (pattern[i] == '#' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i])
            return false;
    return true;
}

class SimProgram : public ::testing::Test {
protected:
    std::string Link() const { return home.Path() + "/dosdevices/com3"; }
    std::string Socket() const { return home.Path() + "/run/vline-com3.sock"; }
    std::string WriteScript(const std::string& text) {
        const std::string path = home.Path() + "/script.txt";
        std::ofstream(path) << text;
        return path;
    }
    static bool Serving(ChildProcess& sim) {
        std::size_t from = 0;
        return sim.WaitForLine(Contains("serving COM3"), 10s, &from).has_value();
    }
    bool RunDirEmpty() const { return std::filesystem::is_empty(home.Path() + "/run"); }

    TempHome home;
};

TEST_F(SimProgram, BadArgumentsGiveStatusTwoAndTheUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {}, {"COM0"}, {"LPT1"}, {"COM3", "COM4"}, {"--bogus", "COM3"}, {"--script"}, {"--script=", "COM3"}};
    for (const auto& arguments : cases) {
        auto sim = StartSim(arguments);
        EXPECT_EQ(sim->Wait(10s), 2);
        EXPECT_NE(sim->ErrorText().find("\nUsage: trelvane-sim [--json] [--script FILE] [--stay] COMn|n\n"),
                  std::string::npos)
            << sim->ErrorText();
    }
    EXPECT_FALSE(Exists(Link()));
    auto help = StartSim({"--help"});
    EXPECT_EQ(help->Wait(10s), 0);
    const auto lines = help->OutputLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Usage: trelvane-sim [--json] [--script FILE] [--stay] COMn|n");

    // With --json a usage error is one JSON object on standard output.
    auto json = StartSim({"COM3", "--bogus", "--json"});
    EXPECT_EQ(json->Wait(10s), 2);
    const auto jsonLines = json->OutputLines();
    ASSERT_EQ(jsonLines.size(), 1u);
    const auto error = JsonLineReader(jsonLines[0]).Object();
    ASSERT_TRUE(error) << jsonLines[0];
    EXPECT_EQ(Number(*error, "schema"), 1);
    EXPECT_EQ(Text(*error, "event"), "usage");
    EXPECT_EQ(Text(*error, "message"), "unknown option --bogus");
    EXPECT_TRUE(json->ErrorText().empty()) << json->ErrorText();

    for (const char* option : {"--version", "-V"}) {
        auto version = StartSim({option});
        EXPECT_EQ(version->Wait(10s), 0);
        const auto versionLines = version->OutputLines();
        ASSERT_FALSE(versionLines.empty());
        EXPECT_EQ(versionLines[0], std::string("trelvane-sim (Trelvane) ") + trelvane::kVersion);
    }
}

// The simulator at a terminal: typed input goes to it through a
// pseudo-terminal, and what it shows is collected from there.
class TerminalSim {
public:
    TerminalSim() {
        m_pid = ::forkpty(&m_terminal, nullptr, nullptr, nullptr);
        if (m_pid == 0) {
            ::execl(TRELVANE_SIM_PATH, TRELVANE_SIM_PATH, "COM3", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~TerminalSim() {
        if (m_pid > 0 && !m_ended) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_terminal >= 0) ::close(m_terminal);
    }

    bool Started() const { return m_pid > 0; }
    void Type(const std::string& keys) {
        EXPECT_EQ(::write(m_terminal, keys.data(), keys.size()), ssize_t(keys.size()));
    }
    // Collects the screen until text has appeared count times in all.
    bool WaitFor(const std::string& text, int count) {
        return Collect([&] { return Count(text) >= count; });
    }
    // Collects the screen until the prompt stands after the last `after`:
    // keys typed before the prompt is back may be dropped as the line
    // editor takes the terminal again.
    bool WaitForPromptAfter(const std::string& after) {
        return Collect([&] {
            const auto at = m_screen.rfind(after);
            return at != std::string::npos && m_screen.find("trelvane-sim> ", at) != std::string::npos;
        });
    }
    // Reads until the terminal closes; a simulator still running then is ended.
    int Wait() {
        if (!Collect([] { return false; }) && !m_closed) ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_ended = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& Screen() const { return m_screen; }

private:
    bool Collect(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd fd{m_terminal, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
            char chunk[4096];
            const ssize_t n = ::read(m_terminal, chunk, sizeof chunk);
            if (n <= 0) {
                m_closed = true;
                return false;
            }
            m_screen.append(chunk, static_cast<std::size_t>(n));
        }
        return true;
    }
    int Count(const std::string& text) const {
        int count = 0;
        for (auto at = m_screen.find(text); at != std::string::npos; at = m_screen.find(text, at + 1)) ++count;
        return count;
    }

    int m_terminal = -1;
    pid_t m_pid = -1;
    bool m_ended = false;
    bool m_closed = false;
    std::string m_screen;
};

TEST_F(SimProgram, ThePromptEditsLinesAndRemembersThemAcrossRuns) {
    {
        TerminalSim sim;
        ASSERT_TRUE(sim.Started());
        ASSERT_TRUE(sim.WaitFor("trelvane-sim> ", 1)) << sim.Screen();
        sim.Type("statux\x7fs\r");  // a typing error mended
        ASSERT_TRUE(sim.WaitFor("port link", 1)) << sim.Screen();
        ASSERT_TRUE(sim.WaitForPromptAfter("port link")) << sim.Screen();
        sim.Type("\x1b[A\r");  // the line before, from the history
        ASSERT_TRUE(sim.WaitFor("port link", 2)) << sim.Screen();
        ASSERT_TRUE(sim.WaitForPromptAfter("port link")) << sim.Screen();
        sim.Type("quit\r");
        EXPECT_EQ(sim.Wait(), 0) << sim.Screen();
    }
    TerminalSim again;
    ASSERT_TRUE(again.Started());
    ASSERT_TRUE(again.WaitFor("trelvane-sim> ", 1)) << again.Screen();
    again.Type("\x1b[A\x1b[A\r");  // quit, then status: kept from the run before
    ASSERT_TRUE(again.WaitFor("port link", 1)) << again.Screen();
    ASSERT_TRUE(again.WaitForPromptAfter("port link")) << again.Screen();
    again.Type("\x04");  // Ctrl-D ends the input
    EXPECT_EQ(again.Wait(), 0) << again.Screen();
    EXPECT_FALSE(Exists(Link()));
}

TEST_F(SimProgram, AReaderThatGoesAwayEndsTheRunQuietly) {
    // The simulator's output goes to a reader that takes one line and leaves;
    // the simulator serves on (--stay) until a write finds the pipe closed.
    auto sim = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/bin/sh", "-c", "yes status 2>/dev/null | \"$0\" --stay 3 | head -n 1 > /dev/null", TRELVANE_SIM_PATH});
    ASSERT_TRUE(sim->Started());
    EXPECT_EQ(sim->Wait(30s), 0);
    EXPECT_TRUE(sim->ErrorText().empty()) << sim->ErrorText();
    EXPECT_FALSE(Exists(Link()));
}

TEST_F(SimProgram, AScriptIsCheckedWholeBeforeThePortIsServed) {
    const std::string script = WriteScript("status\nnumber 1660\nwait 1s\nexpect nothing\n");
    auto sim = StartSim({"--script", script, "COM3"});
    EXPECT_EQ(sim->Wait(10s), 2);
    const std::string errors = sim->ErrorText();
    EXPECT_NE(errors.find(script + ":2: number: start number 1660 cannot be sent"), std::string::npos) << errors;
    EXPECT_NE(errors.find(script + ":4: expect: 'nothing' is not one of"), std::string::npos) << errors;
    EXPECT_TRUE(sim->OutputLines().empty());
    EXPECT_FALSE(Exists(Link()));
}

TEST_F(SimProgram, SigintAndSigtermRemoveTheLinkAndTheSocket) {
    struct Case {
        bool interrupt;
        bool stay;  // the commands end first, and the simulator stays
    };
    // A folder that a umask left open to others is closed before it is used.
    MakeFolder(home.Path() + "/dosdevices");
    SetMode(home.Path() + "/dosdevices", 0777);
    for (const Case c : {Case{true, false}, Case{false, true}}) {
        auto sim = StartSim(c.stay ? std::vector<std::string>{"--stay", "COM3"} : std::vector<std::string>{"COM3"});
        ASSERT_TRUE(Serving(*sim));
        EXPECT_EQ(ModeOf(home.Path() + "/dosdevices"), 0755u);
        EXPECT_TRUE(IsLink(Link()));
        EXPECT_EQ(std::filesystem::read_symlink(Link()).string(), Socket());
        EXPECT_TRUE(std::filesystem::is_socket(Socket()));
        std::size_t from = 0;
        if (c.stay) {
            sim->CloseInput();
            ASSERT_TRUE(sim->WaitForLine(Contains("commands done; serving on"), 5s, &from));
            EXPECT_TRUE(IsLink(Link()));
        }
        c.interrupt ? sim->Interrupt() : sim->Terminate();
        EXPECT_EQ(sim->Wait(10s), 0);
        EXPECT_FALSE(Exists(Link()));
        EXPECT_TRUE(RunDirEmpty());  // socket and lock file gone
        EXPECT_TRUE(sim->WaitForLine(Contains(c.interrupt ? "SIGINT: stopping" : "SIGTERM: stopping"), 1s, &from));
        EXPECT_TRUE(sim->WaitForLine(Contains("com3 removed"), 1s, &from));
    }
}

TEST_F(SimProgram, AServedPortIsRefusedAndAKilledSimulatorsLinkIsReplaced) {
    auto first = StartSim({"COM3"});
    ASSERT_TRUE(Serving(*first));
    auto second = StartSim({"com3"});
    EXPECT_EQ(second->Wait(10s), 1);
    EXPECT_NE(second->ErrorText().find("COM3 is already served by trelvane-sim (process "), std::string::npos)
        << second->ErrorText();
    EXPECT_TRUE(IsLink(Link()));

    first->Kill();
    EXPECT_EQ(first->Wait(10s), 128 + 9);
    EXPECT_TRUE(IsLink(Link()));  // left behind

    auto third = StartSim({"--json", "COM3"});
    std::size_t from = 0;
    const auto serving = third->WaitForLine(Contains("\"serving\""), 10s, &from);
    ASSERT_TRUE(serving);
    EXPECT_NE(serving->find("removed the stale link"), std::string::npos) << *serving;
    HANDLE port = CreateFileW(u"COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(third->WaitForLine(Contains("\"event\":\"connect\""), 5s, &from));
    CloseHandle(port);
    third->CloseInput();
    EXPECT_EQ(third->Wait(10s), 0);
    EXPECT_FALSE(Exists(Link()));
}

TEST_F(SimProgram, ALinkThatIsNoSimulatorsIsLeftAlone) {
    struct Case {
        const char* target;
        const char* error;
    };
    for (const Case& c :
         {Case{"/dev/null", "which is no virtual line"}, Case{"/dev/ttyUSB97", "which does not exist"}}) {
        LinkPort(home.Path(), 3, c.target);
        auto sim = StartSim({"COM3"});
        EXPECT_EQ(sim->Wait(10s), 1);
        EXPECT_NE(sim->ErrorText().find(c.error), std::string::npos) << sim->ErrorText();
        EXPECT_EQ(std::filesystem::read_symlink(Link()).string(), c.target);
    }
}

TEST_F(SimProgram, JsonGivesOneObjectPerLineAndAFailedExpectEndsTheRun) {
    auto sim = StartSim({"--json", "COM3"});
    ASSERT_TRUE(sim->Write("status\n# a comment\nexpect reset within 50ms\nstatus\n"));
    EXPECT_EQ(sim->Wait(10s), 1);
    std::vector<JsonObject> objects;
    for (const auto& line : sim->OutputLines()) {
        const auto object = ParseJsonLine(line);
        ASSERT_TRUE(object) << line;
        EXPECT_TRUE(Shaped(Text(*object, "time"), "####-##-##T##:##:##.###Z")) << line;
        objects.push_back(*object);
    }
    ASSERT_EQ(objects.size(), 4u);  // serving, two results, stopped: the last status never ran
    EXPECT_EQ(Text(objects[0], "event"), "serving");
    EXPECT_EQ(Text(objects[1], "command"), "status");
    EXPECT_TRUE(Flag(objects[1], "ok"));
    EXPECT_FALSE(Flag(objects[1], "connected"));
    EXPECT_TRUE(Flag(objects[1], "dsr"));
    EXPECT_EQ(Number(objects[1], "start_volts"), 9.0);
    EXPECT_EQ(Text(objects[2], "command"), "expect reset within 50ms");
    EXPECT_FALSE(Flag(objects[2], "ok"));
    EXPECT_EQ(Text(objects[2], "error"), "no reset within 50 ms");
    EXPECT_EQ(Text(objects[3], "event"), "stopped");
    EXPECT_EQ(Number(objects[3], "status"), 1);
    EXPECT_FALSE(Exists(Link()));
}

TEST_F(SimProgram, QuitEndsTheRunEvenWithStay) {
    auto sim = StartSim({"--stay", "COM3"});
    ASSERT_TRUE(sim->Write("quit\nstatus\n"));
    EXPECT_EQ(sim->Wait(10s), 0);
    std::size_t from = 0;
    EXPECT_TRUE(sim->WaitForLine(Contains("quit; "), 1s, &from));
    EXPECT_FALSE(sim->WaitForLine(Contains("port link"), 0s, &from));  // nothing after quit ran
    EXPECT_FALSE(Exists(Link()));
}

bool WriteBytes(HANDLE port, const std::string& bytes) {
    DWORD written = 0;
    return ::WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

TEST_F(SimProgram, AScriptPlaysTheDeviceForAPortOpenedThroughTheCommCalls) {
    const std::string script = WriteScript(
        "expect connect\n"
        "expect rts on\n"
        "raw 3f\n"
        "expect ack 1\n"
        "expect reset\n"
        "expect text hello\n"
        "finish off\n"
        "expect dtr off\n"
        "expect disconnect\n");
    auto sim = StartSim({"--script", script, "COM3"});
    ASSERT_TRUE(Serving(*sim));
    HANDLE port = CreateFileW(u"COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD modem = 0;
    EXPECT_TRUE(GetCommModemStatus(port, &modem));
    EXPECT_EQ(modem & (MS_CTS_ON | MS_DSR_ON), static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON));  // both posts on line
    BYTE byte = 0;
    DWORD read = 0;
    ASSERT_TRUE(::ReadFile(port, &byte, 1, &read, nullptr));
    EXPECT_EQ(byte, 0x3F);
    ASSERT_TRUE(SetCommMask(port, EV_CTS));
    ASSERT_TRUE(WriteBytes(port, std::string("\xF0\x00hello\n", 8)));
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(port, &events, nullptr));  // the finish post goes off line
    EXPECT_TRUE(GetCommModemStatus(port, &modem));
    EXPECT_EQ(modem & MS_CTS_ON, 0u);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(port, &dcb));
    CloseHandle(port);
    EXPECT_EQ(sim->Wait(10s), 0) << sim->ErrorText();

    // "10:15:02.118  driver    text": a time stamp, the source padded to ten, the text.
    std::vector<std::string> shown;
    for (const auto& line : sim->OutputLines()) {
        ASSERT_GT(line.size(), 24u) << line;
        EXPECT_TRUE(Shaped(line.substr(0, 14), "##:##:##.###  ")) << line;
        const std::string source = line.substr(14, line.find(' ', 14) - 14);
        EXPECT_EQ(line.find_first_not_of(' ', 14 + source.size()), std::max<std::size_t>(24, 15 + source.size()))
            << line;
        if (source != "simulator") shown.push_back(source + ": " + line.substr(24));
    }
    const std::vector<std::string> expected = {
        "driver: connected: the driver opened the port",
        "driver: DTR on",
        "driver: RTS on",
        "device: raw bytes 0x3f",
        "driver: acknowledge of frame byte 1 (0xf0)",
        "driver: reset (0x00)",
        "driver: byte 0x68 'h'",
        "driver: byte 0x65 'e'",
        "driver: byte 0x6c 'l'",
        "driver: byte 0x6c 'l'",
        "driver: byte 0x6f 'o'",
        "driver: byte 0x0a line feed",
        "driver: text 'hello'",
        "device: CTS off: finish post off line",
        "driver: DTR off",
        "driver: disconnected: the port was closed or the cable pulled",
    };
    EXPECT_EQ(shown, expected);
    EXPECT_FALSE(Exists(Link()));
}

TEST_F(SimProgram, AnOrdinaryUserServesAPortInAHomeOfTheirOwn) {
    SKIP_UNLESS_ABLE_TO_BE_NOBODY();
    {
        TempHome closed;  // root's, so nobody may not write to it
        auto refused = StartSim({"COM3"}, {.asNobody = true});
        EXPECT_EQ(refused->Wait(10s), 1);
        EXPECT_NE(refused->ErrorText().find("cannot create " + closed.Path() + "/run: Permission denied"),
                  std::string::npos)
            << refused->ErrorText();
    }
    ASSERT_TRUE(GiveToNobody(home.Path()));
    auto sim = StartSim({"--json", "COM3"}, {.asNobody = true});
    ASSERT_TRUE(Serving(*sim)) << sim->ErrorText();
    // Another user's home decides nothing for root: the simulator refuses
    // it, and opening COM3 neither follows its links nor, through a link of
    // root's own, takes the line that the other user serves.
    auto asRoot = StartSim({"COM4"});
    EXPECT_EQ(asRoot->Wait(10s), 1);
    EXPECT_NE(asRoot->ErrorText().find("belongs to user"), std::string::npos) << asRoot->ErrorText();
    const auto open = [] {
        HANDLE port = CreateFileW(u"COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        const DWORD error = port == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        return error;
    };
    EXPECT_EQ(open(), ERROR_FILE_NOT_FOUND);
    {
        TempHome own;
        LinkPort(own.Path(), 3, Socket());
        EXPECT_EQ(open(), ERROR_ACCESS_DENIED);
    }
    sim->Terminate();
    EXPECT_EQ(sim->Wait(10s), 0);
    EXPECT_FALSE(Exists(Link()));
    EXPECT_TRUE(RunDirEmpty());
}

}  // namespace
}  // namespace trelvane
