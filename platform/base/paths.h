// Where the system keeps its state: $TRELVANE_HOME, or .trelvane in the
// user's home.
#pragma once

#include <string>

namespace platform {

// $TRELVANE_HOME when it is set, else .trelvane in the user's home ($HOME,
// or the password database's entry for this user when $HOME is unset or not
// absolute). Empty when there is none to use: a relative TRELVANE_HOME (it
// would depend on the working folder) or no home; a line on standard error
// says what to fix.
std::string TrelvaneHome();
// The highest folder of the user's own state whose owner and mode are
// checked (file_trust.h): $TRELVANE_HOME when it is set, else the user's
// home. Empty when TrelvaneHome() is.
std::string TrelvaneHomeTop();
std::string DosDevicesDir();  // links that give "COMn" names to devices; empty without a home

}  // namespace platform
