// The baselines for latency figures: a byte echoed by a thread doing plain
// blocking reads and writes, over a Unix stream socket pair or over a
// pseudo-terminal in raw mode.
#pragma once

#include <vector>

namespace trelvane::testing {

// Round-trip times in microseconds for count one-byte echoes.
std::vector<double> RawEchoRoundTrips(int count);
// The same over a pseudo-terminal: written to and read from its master side,
// echoed on its device side.
std::vector<double> PtyEchoRoundTrips(int count);

}  // namespace trelvane::testing
