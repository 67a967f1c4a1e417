// The registration switches on a server's command line: every kind of
// command line, with the switch's operation run only when it is found.
#include <gtest/gtest.h>

#include <string>

#include "platform/windows.h"

namespace trelvane {
namespace {

constexpr HRESULT kRegistered = 0x11;
constexpr HRESULT kUnregistered = static_cast<HRESULT>(0x80000022);
int g_registrations = 0;
int g_unregistrations = 0;

HRESULT Register() {
    ++g_registrations;
    return kRegistered;
}
HRESULT Unregister() {
    ++g_unregistrations;
    return kUnregistered;
}

enum class Outcome { Serve, Register, Unregister };

TEST(ServerCommandLine, FindsTheFirstSwitchThatIsAWholeTokenAfterADelimiter) {
    const struct {
        platform::WString arguments;  // after the program path
        Outcome outcome;
    } cases[] = {
        {TEXT(""), Outcome::Serve},
        {TEXT(" /RegServer"), Outcome::Register},
        {TEXT(" -RegServer"), Outcome::Register},
        {TEXT(" -regserver"), Outcome::Register},
        {TEXT(" -REGSERVER"), Outcome::Register},
        {TEXT(" /rEgSeRvEr"), Outcome::Register},
        {TEXT(" /RegServer more text"), Outcome::Register},
        {TEXT(" /RegServer\tmore"), Outcome::Register},
        {TEXT(" /RegServerX"), Outcome::Serve},
        {TEXT(" /RegServer2"), Outcome::Serve},
        {TEXT(" /RegServ"), Outcome::Serve},
        {TEXT(" /Reg"), Outcome::Serve},
        {TEXT(" RegServer"), Outcome::Serve},
        {TEXT(" / RegServer"), Outcome::Serve},
        {TEXT(" \"/RegServer\""), Outcome::Serve},
        {TEXT(" /UnregServer"), Outcome::Unregister},
        {TEXT(" -unregserver"), Outcome::Unregister},
        {TEXT(" /UnregServer /RegServer"), Outcome::Unregister},
        {TEXT(" /RegServer /UnregServer"), Outcome::Register},
        {TEXT(" -Embedding"), Outcome::Serve},
        {TEXT(" /Automation"), Outcome::Serve},
        {TEXT(" --help"), Outcome::Serve},
        {TEXT(" x-RegServer"), Outcome::Register},  // a delimiter inside a word starts a token all the same
        {TEXT(" /-RegServer"), Outcome::Register},
        {TEXT(" -RegServer-"), Outcome::Serve},
    };
    const platform::WString programs[] = {TEXT("/usr/local/bin/trelvane"), TEXT("\"/opt/my tools/trelvane\""),
                                          TEXT("trelvane")};
    for (const auto& program : programs)
        for (const auto& c : cases) {
            const platform::WString line = program + c.arguments;
            SCOPED_TRACE(platform::ToUtf8(line));
            g_registrations = g_unregistrations = 0;
            const CommandLineOutcome outcome = HandleCommandLine(line.c_str(), Register, Unregister);
            EXPECT_EQ(outcome.run, c.outcome == Outcome::Serve);
            EXPECT_EQ(g_registrations, c.outcome == Outcome::Register ? 1 : 0);
            EXPECT_EQ(g_unregistrations, c.outcome == Outcome::Unregister ? 1 : 0);
            const HRESULT expected = c.outcome == Outcome::Register     ? kRegistered
                                     : c.outcome == Outcome::Unregister ? kUnregistered
                                                                        : S_OK;
            EXPECT_EQ(outcome.result, expected);
        }
}

TEST(ServerCommandLine, ScansTheProgramPathToo) {
    EXPECT_FALSE(HandleCommandLine(TEXT("/srv/-RegServer -Embedding"), Register, Unregister).run);
    EXPECT_TRUE(HandleCommandLine(TEXT("/srv/-RegServer/trelvane -Embedding"), Register, Unregister).run);
    EXPECT_TRUE(HandleCommandLine(nullptr, Register, Unregister).run);
}

}  // namespace
}  // namespace trelvane
