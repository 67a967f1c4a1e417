// UTF-16 text as the system's wide calls take it, spelt the same on both
// systems: WCHAR is char16_t on the stand-in and a 16-bit wchar_t on
// Windows, and literals are written TEXT("...").
#pragma once

#include <string>
#include <string_view>

#ifdef _WIN32
#include "platform/windows_system.h"
#else
#include "platform/base/types.h"
#endif

static_assert(sizeof(WCHAR) == 2, "text is UTF-16 on every system");

namespace platform {

using WString = std::basic_string<WCHAR>;
using WStringView = std::basic_string_view<WCHAR>;

}  // namespace platform
