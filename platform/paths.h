// Where the system keeps its state: $TRELVANE_HOME, or $HOME/.trelvane.
#pragma once

#include <string>

#include "platform/base.h"

namespace platform {

std::string TrelvaneHome();
std::string DosDevicesDir();  // links that give "COMn" names to devices

// UTF-16 <-> UTF-8, the stand-in for the ANSI code page.
std::string ToUtf8(const std::u16string& text);
std::string ToUtf8(LPCWSTR text);
std::u16string FromUtf8(const std::string& text);

}  // namespace platform
