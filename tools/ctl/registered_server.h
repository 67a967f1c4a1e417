// The server's registration as activation reads it: the command line
// registered for the driver's class, and the status line that shows it.
#pragma once

#include <string>

#include "platform/windows.h"
#include "tools/ctl/reporter.h"

namespace trelvane::ctl {

// "CLSID\{...}\LocalServer32" of the driver's class, below the classes root.
platform::WString ServerKeyName();
// The registered command line of the server, or the registry's error.
LSTATUS RegisteredServer(std::string* commandLine);
// The "registered" reply of `status`: scope empty when nothing is
// registered, and then howToRegister is the command that would.
void ReplyRegistration(Reporter& reporter, const std::string& scope, const std::string& commandLine,
                       const char* howToRegister);

}  // namespace trelvane::ctl
