// Our own helpers that the framework uses, for Windows: elsewhere the
// stand-in's areas hold them beside the calls they stand in for, and those
// areas are not built for Windows.
#pragma once

#include <string>

#include "platform/windows_system.h"

namespace platform {

// Whether path names the running executable's file.
bool IsThisExecutable(LPCWSTR path);

}  // namespace platform

// The system's text of a message id as UTF-8 without the trailing line
// break; "Error N" when the system has none.
std::string SystemMessageText(DWORD code);
