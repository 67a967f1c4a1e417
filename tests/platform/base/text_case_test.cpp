// Names compared without regard to case.
#include <gtest/gtest.h>

#include "platform/windows.h"

namespace trelvane {
namespace {

TEST(TextCase, LettersOfEveryCoveredScriptMatchTheirOtherCase) {
    const struct {
        const char16_t* a;
        const char16_t* b;
    } equal[] = {
        {u"Module_Raw", u"MODULE_raw"},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9"},
        {u"\u00ff", u"\u0178"},
        {u"\u0142\u017e", u"\u0141\u017d"},
        {u"\u03c3\u03c2", u"\u03a3\u03a3"},
        {u"\u0436\u0451", u"\u0416\u0401"},
        {u"", u""},
    };
    for (const auto& e : equal) {
        EXPECT_EQ(lstrcmpiW(e.a, e.b), 0) << platform::ToUtf8(e.a);
        // Narrow text (UTF-8) folds alike.
        EXPECT_TRUE(platform::EqualNoCase(platform::ToUtf8(e.a), platform::ToUtf8(e.b))) << platform::ToUtf8(e.a);
    }
    EXPECT_FALSE(platform::EqualNoCase("COM1", "com12"));
    EXPECT_LT(lstrcmpiW(u"apple", u"BANANA"), 0);
    EXPECT_GT(lstrcmpiW(u"Modules", u"MODULE"), 0);
    EXPECT_LT(lstrcmpiW(nullptr, u""), 0);
    EXPECT_EQ(lstrcmpiW(nullptr, nullptr), 0);
    // Characters without a case mapping here stay themselves.
    EXPECT_NE(lstrcmpiW(u"\u00df", u"SS"), 0);
    EXPECT_NE(lstrcmpiW(u"\u00f7", u"\u00d7"), 0);
}

}  // namespace
}  // namespace trelvane
