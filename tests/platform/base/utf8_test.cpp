#include <gtest/gtest.h>

#include "platform/base/utf8.h"

namespace trelvane {
namespace {

TEST(Utf8, MalformedSequencesBecomeOneReplacementPerByteAndTheRestIsKept) {
    const struct {
        const char* utf8;
        platform::WString utf16;
    } cases[] = {
        {"a\xC3\xA9z", TEXT("a\u00E9z")},
        {"\xE2\x9C\x93", TEXT("\u2713")},
        {"\xEF\xBF\xBF", TEXT("\uFFFF")},
        {"\xF0\x9D\x84\x9E", TEXT("\U0001D11E")},
        {"\xF4\x8F\xBF\xBF", TEXT("\U0010FFFF")},
        {"\xC3", TEXT("\uFFFD")},                                  // cut short
        {"\xC3z", TEXT("\uFFFDz")},                                // no continuation
        {"\x80", TEXT("\uFFFD")},                                  // a continuation alone
        {"\xC0\x80", TEXT("\uFFFD\uFFFD")},                        // an overlong NUL
        {"\xE0\x80\xAF", TEXT("\uFFFD\uFFFD\uFFFD")},              // an overlong '/'
        {"\xF0\x8F\xBF\xBF", TEXT("\uFFFD\uFFFD\uFFFD\uFFFD")},    // an overlong U+FFFF
        {"\xED\xA0\x80", TEXT("\uFFFD\uFFFD\uFFFD")},              // an encoded surrogate
        {"\xF4\x90\x80\x80", TEXT("\uFFFD\uFFFD\uFFFD\uFFFD")},    // beyond U+10FFFF
        {"z\xF6\x9A\x9E\x92", TEXT("z\uFFFD\uFFFD\uFFFD\uFFFD")},  // found by fuzz_registry_store
        {"\xF8\x88\x80\x80\x80", TEXT("\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::FromUtf8(c.utf8), c.utf16) << c.utf8;
        // What was read writes out as valid UTF-8 that reads back the same.
        EXPECT_EQ(platform::FromUtf8(platform::ToUtf8(c.utf16)), c.utf16) << c.utf8;
    }
}

TEST(Utf8, LoneSurrogatesWriteOutAsReplacements) {
    EXPECT_EQ(platform::ToUtf8(platform::WString(TEXT("a\xD800z"))), "a\xEF\xBF\xBDz");
    EXPECT_EQ(platform::ToUtf8(platform::WString(TEXT("\xDC00"))), "\xEF\xBF\xBD");
    EXPECT_EQ(platform::ToUtf8(platform::WString(TEXT("\xD834\xDD1E"))), "\xF0\x9D\x84\x9E");
}

}  // namespace
}  // namespace trelvane
