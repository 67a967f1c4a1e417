// Character operations of the platform's user interface library that text
// scanning uses: upper-casing and stepping through a wide string.
#pragma once

#include "platform/base/types.h"

// Upper-cases a string in place and returns it; or, when the pointer's high
// bits are all zero, upper-cases the single character in its low word and
// returns that character in the same form. The letters are those that
// registry names and lstrcmpiW fold (platform::UpperCase).
LPWSTR CharUpperW(LPWSTR lpsz);

// The next character of the string, or lpsz itself at the terminator.
LPWSTR CharNextW(LPCWSTR lpsz);
