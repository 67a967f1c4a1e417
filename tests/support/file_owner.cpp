#include "tests/support/file_owner.h"

#include <unistd.h>

namespace trelvane::testing {

bool SetOwner(const std::string& path, unsigned uid) {
    return ::lchown(path.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(-1)) == 0;
}

}  // namespace trelvane::testing
