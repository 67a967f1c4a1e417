#include "platform/comm/port_names.h"

#include <filesystem>

#include "platform/base/file_trust.h"
#include "platform/base/log.h"
#include "platform/base/paths.h"
#include "platform/base/text_case.h"

namespace platform {

std::string PortDevicePath(unsigned n) {
    const std::string wanted = "com" + std::to_string(n);
    const std::string folder = DosDevicesDir();
    if (folder.empty()) return {};  // no home to look in (logged): no port by that name
    // Its links decide what the port is: one that another user could have
    // written would let them serve the port, or point it at a device.
    bool complete = false;
    if (const std::string distrust = DistrustFolders(TrelvaneHomeTop(), folder, &complete); !distrust.empty()) {
        log::Error(log::Channel::comm, "%s; no COM%u is looked up there", distrust.c_str(), n);
        return {};
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (EqualNoCase(entry.path().filename().string(), wanted)) return entry.path().string();
    }
    return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace platform
