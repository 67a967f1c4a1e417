// The process's command line as one string, as the platform hands it to a
// program.
#pragma once

#include <span>
#include <string>

#include "platform/base/types.h"

// The full command line: the program path and the arguments joined by
// single spaces, an argument that is empty or holds a space or a tab
// enclosed in double quotation marks. Made on the first call; every call
// returns the same string.
LPWSTR GetCommandLineW();

namespace platform {

// The command line of these arguments (the program path first), formed as
// GetCommandLineW forms the process's own.
std::u16string JoinCommandLine(std::span<const std::string> arguments);

}  // namespace platform
