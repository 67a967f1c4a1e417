// How a registered server command line is split into program and arguments.
#include <gtest/gtest.h>

#include "platform/base/utf8.h"
#include "platform/remoting/server_command.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

TEST(ServerCommand, SplitsAsThePlatformSplitsACommandLine) {
    const struct {
        std::u16string line;
        std::vector<std::string> words;
    } cases[] = {
        {u"", {}},
        {u" \t ", {}},
        {u"/usr/bin/trelvane -Embedding", {"/usr/bin/trelvane", "-Embedding"}},
        {u"\"/opt/my apps/trelvane\" -Embedding", {"/opt/my apps/trelvane", "-Embedding"}},
        {u"  \"/opt/a\"b -Embedding", {"/opt/a", "b", "-Embedding"}},     // the program ends at its closing mark
        {u"\"C:\\Program Files\\t.exe\"", {"C:\\Program Files\\t.exe"}},  // no escapes in the program
        {u"\"/opt/unclosed -Embedding", {"/opt/unclosed -Embedding"}},
        {u"p a\tb  \"c d\"", {"p", "a", "b", "c d"}},
        {u"p \"say \"\"hi\"\"\" x", {"p", "say \"hi\"", "x"}},
        {u"p a\\\"b", {"p", "a\"b"}},               // an odd backslash escapes the mark
        {u"p \"a\\\\\" b", {"p", "a\\", "b"}},      // a pair gives one backslash, the mark closes
        {u"p a\\\\b c\\", {"p", "a\\\\b", "c\\"}},  // backslashes elsewhere are literal
        {u"p \"\"", {"p", ""}},                     // an empty quoted argument is one
        {u"p gr\u00FC\u00DF", {"p", "gr\xC3\xBC\xC3\x9F"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::remoting::SplitCommandLine(c.line), c.words) << platform::ToUtf8(c.line);
}

TEST(ServerCommand, ExpandsEnvironmentReferencesLeavingWhatNamesNoVariable) {
    trelvane::testing::ScopedEnvironment folder("TRELVANE_TEST_FOLDER", "/opt/my apps");
    trelvane::testing::ScopedEnvironment unset("TRELVANE_TEST_UNSET", nullptr);
    const struct {
        std::u16string text, expanded;
    } cases[] = {
        {u"", u""},
        {u"%TRELVANE_TEST_FOLDER%/trelvane -x", u"/opt/my apps/trelvane -x"},
        {u"\"%TRELVANE_TEST_FOLDER%/t\" %TRELVANE_TEST_FOLDER%", u"\"/opt/my apps/t\" /opt/my apps"},
        {u"%TRELVANE_TEST_UNSET%/t", u"%TRELVANE_TEST_UNSET%/t"},
        {u"%trelvane_test_folder%", u"%trelvane_test_folder%"},  // names are case-sensitive here
        {u"%TRELVANE_TEST_UNSET%TRELVANE_TEST_FOLDER%", u"%TRELVANE_TEST_UNSET%TRELVANE_TEST_FOLDER%"},
        {u"a %% b", u"a %% b"},
        {u"100% sure", u"100% sure"},
        {u"%TRELVANE_TEST_FOLDER%%TRELVANE_TEST_FOLDER%", u"/opt/my apps/opt/my apps"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::remoting::ExpandEnvironmentReferences(c.text), c.expanded) << platform::ToUtf8(c.text);
}

}  // namespace
}  // namespace trelvane
