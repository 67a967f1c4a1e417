// The server's registration as activation reads it: the command line
// registered for the driver's class.
#pragma once

#include <string>

#include "platform/windows.h"

namespace trelvane::ctl {

// "CLSID\{...}\LocalServer32" of the driver's class, below the classes root.
platform::WString ServerKeyName();
// The registered command line of the server, or the registry's error.
LSTATUS RegisteredServer(std::string* commandLine);

}  // namespace trelvane::ctl
