// What trelvanectl tells a person to do when something fails: the reason in
// the platform's words, and the step that mends it.
#pragma once

#include <string>

#include "platform/windows.h"

namespace trelvane::ctl {

// "0x80040154 (Class not registered)".
std::string ResultText(HRESULT hr);
// Where the servers that activation starts write what they report (on
// Linux; on Windows such a server has nowhere to write).
std::string ServerLogPath();
// When the server went away during a call.
std::string ServerGoneAdvice();
// When CTarvik cannot be created.
std::string ActivationAdvice(HRESULT hr);
// When COMn does not open: missing, not ours to open (naming the group
// that owns the device), or held by another program.
std::string PortAdvice(int port);

}  // namespace trelvane::ctl
