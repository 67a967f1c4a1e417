#include "platform/base/paths.h"

#include <cstdlib>

namespace platform {

std::string TrelvaneHome() {
    if (const char* home = std::getenv("TRELVANE_HOME"); home && *home) return home;
    const char* user = std::getenv("HOME");
    return std::string(user && *user ? user : ".") + "/.trelvane";
}

std::string DosDevicesDir() { return TrelvaneHome() + "/dosdevices"; }

}  // namespace platform
