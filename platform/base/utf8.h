// UTF-16 <-> UTF-8, the stand-in for the ANSI code page, on both systems.
// Lone surrogates and malformed sequences become U+FFFD.
#pragma once

#include <string>

#include "platform/base/wide_string.h"

namespace platform {

std::string ToUtf8(const WString& text);
std::string ToUtf8(LPCWSTR text);
WString FromUtf8(const std::string& text);

}  // namespace platform
