// The command line registered for a class's local server, and how it is
// split into a program and its arguments.
#pragma once

#include <string>
#include <vector>

#include "platform/objects/com_base.h"

namespace platform::remoting {

// The default value of CLSID\{clsid}\LocalServer32 below the classes root,
// its environment references expanded when it is a REG_EXPAND_SZ.
// REGDB_E_CLASSNOTREG when the class or its LocalServer32 key is missing or
// the value is empty; REGDB_E_READREGDB when the registry cannot be read.
HRESULT ReadLocalServerCommand(REFCLSID clsid, std::u16string* command);

// Replaces each %NAME% in text by the value of the environment variable
// NAME. A reference to a variable that is not set, and a % without a
// closing one, stay as written. Names match exactly: this environment's
// names are case-sensitive.
std::u16string ExpandEnvironmentReferences(const std::u16string& text);

// Splits a command line as the platform does: first the program, in
// double quotation marks up to the next one, or unquoted up to the first
// space or tab; then the arguments, separated by spaces and tabs, where
// quotation marks group a word that holds blanks (a doubled mark inside a
// quoted word is one mark) and backslashes are literal except before a
// quotation mark: each pair gives one backslash, and an odd one escapes the
// mark. The words come back in UTF-8; none for a blank line.
std::vector<std::string> SplitCommandLine(const std::u16string& command);

}  // namespace platform::remoting
