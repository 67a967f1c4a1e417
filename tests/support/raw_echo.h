// The baselines for latency figures: a message echoed by a thread doing
// plain blocking reads and writes, over a Unix stream socket pair or over a
// pseudo-terminal in raw mode.
#pragma once

#include <cstddef>
#include <vector>

namespace trelvane::testing {

// Round-trip times in microseconds for count echoes of size bytes (a
// message of that size out, and one of that size back).
std::vector<double> RawEchoRoundTrips(int count, std::size_t size = 1);
// One-byte echoes over a pseudo-terminal: written to and read from its
// master side, echoed on its device side.
std::vector<double> PtyEchoRoundTrips(int count);

}  // namespace trelvane::testing
