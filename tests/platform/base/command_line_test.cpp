// The process's command line, character stepping and upper-casing, and the
// loaded modules.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/windows.h"

namespace trelvane {
namespace {

TEST(CommandLine, JoinsTheArgumentsQuotingThoseWithASpaceOrATab) {
    const struct {
        std::vector<std::string> arguments;
        std::u16string line;
    } cases[] = {
        {{"/usr/bin/trelvane"}, u"/usr/bin/trelvane"},
        {{"/usr/bin/trelvane", "-Embedding"}, u"/usr/bin/trelvane -Embedding"},
        {{"/opt/my tools/trelvane", "/RegServer"}, u"\"/opt/my tools/trelvane\" /RegServer"},
        {{"trelvane", "a\tb", "c"}, u"trelvane \"a\tb\" c"},
        {{"trelvane", "", "x"}, u"trelvane \"\" x"},
        {{"trelvane", "say\"so\""}, u"trelvane say\"so\""},  // quotation marks alone are kept as they are
        {{"trelvane", "\xC3\xA9t\xC3\xA9"}, u"trelvane \u00E9t\u00E9"},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::JoinCommandLine(c.arguments), c.line);
}

TEST(CommandLine, IsThisProcesssOwnAndTheSameEveryTime) {
    const std::u16string line = GetCommandLineW();
    EXPECT_NE(line.find(u"platform_base_tests"), std::u16string::npos);
    EXPECT_EQ(GetCommandLineW(), GetCommandLineW());
}

TEST(Characters, UpperCaseSingleCharactersAndStringsAndStepUpToTheEnd) {
    auto upper = [](WCHAR c) {
        return static_cast<WCHAR>(reinterpret_cast<UINT_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(UINT_PTR{c}))));
    };
    EXPECT_EQ(upper(u'a'), u'A');
    EXPECT_EQ(upper(u'Z'), u'Z');
    EXPECT_EQ(upper(u'-'), u'-');
    EXPECT_EQ(upper(u'\u00E9'), u'\u00C9');
    EXPECT_EQ(upper(u'\u00F7'), u'\u00F7');  // the division sign has no capital
    EXPECT_EQ(upper(u'\u00FF'), u'\u0178');
    WCHAR text[] = u"RegServer é";
    EXPECT_EQ(CharUpperW(text), text);
    EXPECT_EQ(std::u16string(text), u"REGSERVER \u00C9");

    const WCHAR* p = u"ab";
    EXPECT_EQ(CharNextW(p), p + 1);
    EXPECT_EQ(CharNextW(p + 2), p + 2);  // the terminator is the last stop
}

TEST(LoadedModules, FindsTheExecutableAndLoadedSharedObjectsByFileName) {
    const HMODULE self = GetModuleHandleW(nullptr);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(GetModuleHandleW(u"platform_base_tests"), self);
    EXPECT_EQ(GetModuleHandleW(u"PLATFORM_BASE_TESTS"), self);  // without regard to case
    const std::string path = std::filesystem::canonical("/proc/self/exe").string();
    EXPECT_EQ(GetModuleHandleW(platform::FromUtf8(path).c_str()), self);
    const HMODULE libc = GetModuleHandleW(u"libc.so.6");
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(libc, self);
    EXPECT_EQ(GetModuleHandleW(u"LibC.So.6"), libc);
    // An image starts with its header.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(libc) + 1, 3), "ELF");

    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetModuleHandleW(u"Mscoree.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(GetModuleHandleW(u"libc.so"), nullptr);  // the whole file name, not a part of it
}

}  // namespace
}  // namespace trelvane
