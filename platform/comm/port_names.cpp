#include "platform/comm/port_names.h"

#include <filesystem>

#include "platform/base/paths.h"
#include "platform/base/text_case.h"

namespace platform {

std::string PortDevicePath(unsigned n) {
    const std::string wanted = "com" + std::to_string(n);
    const std::string folder = DosDevicesDir();
    if (folder.empty()) return {};  // no home to look in (logged): no port by that name
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (EqualNoCase(entry.path().filename().string(), wanted)) return entry.path().string();
    }
    return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace platform
