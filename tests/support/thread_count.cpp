// The process's thread count once it has settled, on both systems: a thread
// that has ended may still be listed for a moment (RawThreadCount is each
// system's own).
#include <chrono>
#include <thread>

#include "tests/support/test_env.h"

namespace trelvane::testing {

int ThreadCount() {
    int last = -1;
    for (int i = 0; i < 50; ++i) {
        const int now = RawThreadCount();
        if (now == last) return now;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return last;
}

}  // namespace trelvane::testing
