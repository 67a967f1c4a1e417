// trelvanectl status: whether the server is registered and whether it runs,
// found out without starting it.
#pragma once

namespace trelvane::ctl {

int ShowStatus(bool json);

}  // namespace trelvane::ctl
