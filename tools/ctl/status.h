// trelvanectl status: whether the server is registered and whether it runs,
// found out without starting it.
#pragma once

namespace ctl {

int ShowStatus(bool json);

}  // namespace ctl
