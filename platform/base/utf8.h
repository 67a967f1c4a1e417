// UTF-16 <-> UTF-8, the stand-in for the ANSI code page. Lone surrogates and
// malformed sequences become U+FFFD.
#pragma once

#include <string>

#include "platform/base/types.h"

namespace platform {

std::string ToUtf8(const std::u16string& text);
std::string ToUtf8(LPCWSTR text);
std::u16string FromUtf8(const std::string& text);

}  // namespace platform
