// The server's class table: the one list of the classes it serves and
// registers, here CTarvik alone.
#pragma once

#include <span>

#include "platform/windows.h"

namespace trelvane::server {

// CTarvik's entry: its CLSID, its registration routine (UpdateClassEntries)
// and a class object that makes the one driver object at the first
// activation and hands every later activation that same object.
std::span<ClassTableEntry> ClassTable();

}  // namespace trelvane::server
