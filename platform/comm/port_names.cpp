#include "platform/comm/port_names.h"

#include <strings.h>

#include <filesystem>

#include "platform/base/paths.h"

namespace platform {

std::string PortDevicePath(unsigned n) {
    const std::string wanted = "com" + std::to_string(n);
    const std::string folder = DosDevicesDir();
    if (folder.empty()) return folder;  // no home to look in (logged): no port by that name
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (::strcasecmp(entry.path().filename().c_str(), wanted.c_str()) == 0) return entry.path().string();
    }
    return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace platform
