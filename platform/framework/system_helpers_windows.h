// Our own helpers that the framework uses, for Windows: elsewhere the
// stand-in's areas hold them beside the calls they stand in for, and those
// areas are not built for Windows.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/log.h"
#include "platform/base/wide_string.h"
#include "platform/windows_system.h"

namespace platform {

// The running executable's file name; empty, with the error for
// GetLastError, when it cannot be had.
WString ThisExecutablePath();
// Whether path names the running executable's file.
bool IsThisExecutable(LPCWSTR path);
// Whether two names are equal without regard to case, as the system
// compares the names of files, keys and members.
bool EqualNoCase(WStringView a, WStringView b);
// Narrow text (UTF-8), folded alike.
bool EqualNoCase(std::string_view a, std::string_view b);
// The calling thread steps aside for the process's other threads (its
// lowest priority in the process's class); false, traced on channel with
// what the thread is, when it keeps its priority.
bool RunBehindOtherThreads(log::Channel channel, const char* what);

}  // namespace platform

// The system's text of a message id as UTF-8 without the trailing line
// break; "Error N" when the system has none.
std::string SystemMessageText(DWORD code);
