// The baseline for latency figures: a byte echoed over a Unix stream socket
// pair by a thread doing plain blocking reads and writes.
#pragma once

#include <vector>

namespace trelvane::testing {

// Round-trip times in microseconds for count one-byte echoes.
std::vector<double> RawEchoRoundTrips(int count);

}  // namespace trelvane::testing
