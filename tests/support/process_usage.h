// What a running process costs, read from /proc: its CPU time, how often
// its threads were woken, its resident memory, and the descriptors and
// threads it holds.
#pragma once

#include <cstdint>
#include <map>

namespace trelvane::testing {

struct ProcessUsage {
    std::uint64_t cpuNanoseconds = 0;             // all its threads together
    std::uint64_t wakeUps = 0;                    // context switches of all its threads
    std::map<long, std::uint64_t> threadWakeUps;  // per thread id
    std::uint64_t residentKiB = 0;
    std::uint64_t descriptors = 0;  // open file descriptors
    std::uint64_t threads = 0;
};

// Zeroes when the process is gone.
ProcessUsage ReadProcessUsage(long pid);

// What changed between two readings (the memory, descriptors and threads
// are the later one's).
ProcessUsage UsageBetween(const ProcessUsage& before, const ProcessUsage& after);

}  // namespace trelvane::testing
