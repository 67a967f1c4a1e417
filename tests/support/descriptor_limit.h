// Lowers how many descriptors another process may hold (RLIMIT_NOFILE), so
// that a test exhausts them cheaply.
#pragma once

namespace trelvane::testing {

// Both the soft and the hard limit; false when the process is gone or may
// not be changed.
bool LimitDescriptors(long pid, unsigned long limit);

}  // namespace trelvane::testing
