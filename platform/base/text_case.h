// Comparing names without regard to case, as the platform does for registry
// names, resource names and lstrcmpiW: the one such comparison of the system.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/types.h"

// <0, 0 or >0 as the strings compare after case folding. Equality agrees
// with the platform; the order is that of the folded code units, not the
// platform's linguistic order.
int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);

namespace platform {

// The upper-case form of one UTF-16 code unit: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic letters; everything else is its own.
WCHAR UpperCase(WCHAR c);
std::u16string UpperCase(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
// Narrow text (UTF-8, the stand-in for the ANSI code page), folded alike.
bool EqualNoCase(std::string_view a, std::string_view b);

}  // namespace platform
