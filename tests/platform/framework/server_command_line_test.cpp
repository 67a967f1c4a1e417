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
        std::u16string arguments;  // after the program path
        Outcome outcome;
    } cases[] = {
        {u"", Outcome::Serve},
        {u" /RegServer", Outcome::Register},
        {u" -RegServer", Outcome::Register},
        {u" -regserver", Outcome::Register},
        {u" -REGSERVER", Outcome::Register},
        {u" /rEgSeRvEr", Outcome::Register},
        {u" /RegServer more text", Outcome::Register},
        {u" /RegServer\tmore", Outcome::Register},
        {u" /RegServerX", Outcome::Serve},
        {u" /RegServer2", Outcome::Serve},
        {u" /RegServ", Outcome::Serve},
        {u" /Reg", Outcome::Serve},
        {u" RegServer", Outcome::Serve},
        {u" / RegServer", Outcome::Serve},
        {u" \"/RegServer\"", Outcome::Serve},
        {u" /UnregServer", Outcome::Unregister},
        {u" -unregserver", Outcome::Unregister},
        {u" /UnregServer /RegServer", Outcome::Unregister},
        {u" /RegServer /UnregServer", Outcome::Register},
        {u" -Embedding", Outcome::Serve},
        {u" /Automation", Outcome::Serve},
        {u" --help", Outcome::Serve},
        {u" x-RegServer", Outcome::Register},  // a delimiter inside a word starts a token all the same
        {u" /-RegServer", Outcome::Register},
        {u" -RegServer-", Outcome::Serve},
    };
    const std::u16string programs[] = {u"/usr/local/bin/trelvane", u"\"/opt/my tools/trelvane\"", u"trelvane"};
    for (const auto& program : programs)
        for (const auto& c : cases) {
            const std::u16string line = program + c.arguments;
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
    EXPECT_FALSE(HandleCommandLine(u"/srv/-RegServer -Embedding", Register, Unregister).run);
    EXPECT_TRUE(HandleCommandLine(u"/srv/-RegServer/trelvane -Embedding", Register, Unregister).run);
    EXPECT_TRUE(HandleCommandLine(nullptr, Register, Unregister).run);
}

}  // namespace
}  // namespace trelvane
