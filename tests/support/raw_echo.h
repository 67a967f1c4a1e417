// The baselines for latency figures: a message echoed by a thread doing
// plain blocking reads and writes, over a Unix stream socket pair or over a
// pseudo-terminal in raw mode.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

namespace trelvane::testing {

// What surrounds each echo: a pause before it, after the answer to the one
// before; and processes beside it (children of this one) to which the echoing
// thread sends a message of kNoticeBytes right after each echo, each of them
// woken to take it, as a server's clients are woken to take a byte's events.
struct EchoLoad {
    static constexpr std::size_t kNoticeBytes = 214;
    std::chrono::microseconds gap{};
    int receivers = 0;
};

// Round-trip times in microseconds for count echoes of size bytes (a
// message of that size out, and one of that size back).
std::vector<double> RawEchoRoundTrips(int count, std::size_t size = 1, EchoLoad load = {});
// One-byte echoes over a pseudo-terminal: written to and read from its
// master side, echoed on its device side.
std::vector<double> PtyEchoRoundTrips(int count, EchoLoad load = {});

}  // namespace trelvane::testing
