// Where the system keeps its state: $TRELVANE_HOME, or $HOME/.trelvane.
#pragma once

#include <string>

namespace platform {

std::string TrelvaneHome();
std::string DosDevicesDir();  // links that give "COMn" names to devices

}  // namespace platform
