#include "tests/support/descriptor_limit.h"

#include <sys/resource.h>
#include <sys/types.h>

namespace trelvane::testing {

bool LimitDescriptors(long pid, unsigned long limit) {
    const rlimit lowered{limit, limit};
    return ::prlimit(static_cast<pid_t>(pid), RLIMIT_NOFILE, &lowered, nullptr) == 0;
}

}  // namespace trelvane::testing
