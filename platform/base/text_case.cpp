#include "platform/base/text_case.h"

#include "platform/base/utf8.h"

namespace platform {

WCHAR UpperCase(WCHAR c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 0x20) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF) return 0x178;
    // Latin Extended-A pairs its letters upper then lower, with the odd and
    // even positions swapped in 0x139-0x148 and 0x179-0x17E.
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        const bool isLower = oddUpper ? (c % 2 == 0) : (c % 2 == 1);
        return isLower ? static_cast<WCHAR>(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<WCHAR>(c - 0x20);  // Greek
    if (c == 0x3C2) return 0x3A3;                                                     // final sigma
    if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 0x20);                // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
    return c;
}

std::u16string UpperCase(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out) c = UpperCase(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpperCase(a[i]) != UpperCase(b[i])) return false;
    return true;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return EqualNoCase(std::u16string_view(FromUtf8(std::string(a))), FromUtf8(std::string(b)));
}

}  // namespace platform

int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
    // The platform orders a null string before every other one.
    if (lpString1 == nullptr || lpString2 == nullptr) return (lpString1 != nullptr) - (lpString2 != nullptr);
    for (;; ++lpString1, ++lpString2) {
        const WCHAR a = platform::UpperCase(*lpString1);
        const WCHAR b = platform::UpperCase(*lpString2);
        if (a != b) return a < b ? -1 : 1;
        if (a == 0) return 0;
    }
}
