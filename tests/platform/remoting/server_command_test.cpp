// How a registered server command line is split into program and arguments.
#include <gtest/gtest.h>

#include "platform/base/utf8.h"
#include "platform/remoting/server_command.h"

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
        {u"  \"/opt/a\"b -Embedding", {"/opt/a", "b", "-Embedding"}},  // the program ends at its closing mark
        {u"\"C:\\Program Files\\t.exe\"", {"C:\\Program Files\\t.exe"}},  // no escapes in the program
        {u"\"/opt/unclosed -Embedding", {"/opt/unclosed -Embedding"}},
        {u"p a\tb  \"c d\"", {"p", "a", "b", "c d"}},
        {u"p \"say \"\"hi\"\"\" x", {"p", "say \"hi\"", "x"}},
        {u"p a\\\"b", {"p", "a\"b"}},               // an odd backslash escapes the mark
        {u"p \"a\\\\\" b", {"p", "a\\", "b"}},      // a pair gives one backslash, the mark closes
        {u"p a\\\\b c\\", {"p", "a\\\\b", "c\\"}},  // backslashes elsewhere are literal
        {u"p \"\"", {"p", ""}},                      // an empty quoted argument is one
        {u"p gr\u00FC\u00DF", {"p", "gr\xC3\xBC\xC3\x9F"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::remoting::SplitCommandLine(c.line), c.words) << platform::ToUtf8(c.line);
}

}  // namespace
