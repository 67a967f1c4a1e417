// Handing a file to another user, as tests of files planted by someone else
// need (only root may).
#pragma once

#include <string>

namespace trelvane::testing {

// A user id that no account has: the owner of what a test plants as
// another user.
constexpr unsigned kStrangerUid = 4242;

// Makes uid the owner of path itself (a link, not what it leads to).
bool SetOwner(const std::string& path, unsigned uid);

}  // namespace trelvane::testing
