#include <gtest/gtest.h>

#include "platform/base/utf8.h"

namespace trelvane {
namespace {

TEST(Utf8, MalformedSequencesBecomeOneReplacementPerByteAndTheRestIsKept) {
    const struct {
        const char* utf8;
        std::u16string utf16;
    } cases[] = {
        {"a\xC3\xA9z", u"a\u00E9z"},
        {"\xE2\x9C\x93", u"\u2713"},
        {"\xEF\xBF\xBF", u"\uFFFF"},
        {"\xF0\x9D\x84\x9E", u"\U0001D11E"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"\xC3", u"\uFFFD"},                                  // cut short
        {"\xC3z", u"\uFFFDz"},                                // no continuation
        {"\x80", u"\uFFFD"},                                  // a continuation alone
        {"\xC0\x80", u"\uFFFD\uFFFD"},                        // an overlong NUL
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},              // an overlong '/'
        {"\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},    // an overlong U+FFFF
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},              // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},    // beyond U+10FFFF
        {"z\xF6\x9A\x9E\x92", u"z\uFFFD\uFFFD\uFFFD\uFFFD"},  // found by fuzz_registry_store
        {"\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::FromUtf8(c.utf8), c.utf16) << c.utf8;
        // What was read writes out as valid UTF-8 that reads back the same.
        EXPECT_EQ(platform::FromUtf8(platform::ToUtf8(c.utf16)), c.utf16) << c.utf8;
    }
}

TEST(Utf8, LoneSurrogatesWriteOutAsReplacements) {
    EXPECT_EQ(platform::ToUtf8(std::u16string(u"a\xD800z")), "a\xEF\xBF\xBDz");
    EXPECT_EQ(platform::ToUtf8(std::u16string(u"\xDC00")), "\xEF\xBF\xBD");
    EXPECT_EQ(platform::ToUtf8(std::u16string(u"\xD834\xDD1E")), "\xF0\x9D\x84\x9E");
}

}  // namespace
}  // namespace trelvane
