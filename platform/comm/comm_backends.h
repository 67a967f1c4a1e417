// The two kinds of port behind a "COMn" name: a real serial device and the
// virtual line. Each opens its device and returns a port ready to Start, or
// fails with a platform error number and leaves nothing open.
#pragma once

#include <memory>
#include <string>

#include "platform/comm/comm_port.h"

namespace platform {

DWORD OpenTtyPort(const std::string& path, std::shared_ptr<CommPort>* port);
DWORD OpenVirtualLinePort(const std::string& socketPath, std::shared_ptr<CommPort>* port);

}  // namespace platform
