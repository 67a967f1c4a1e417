// The log on Windows: its formats are the standard ones, as on Linux, not
// those of the system's C library (which prints "%zu" as "zu").
#include <gtest/gtest.h>

#include <cstddef>

#include "platform/windows.h"

namespace trelvane {
namespace {

using namespace platform::log;

TEST(LogOnWindows, SizesAndLongNumbersFormatAsOnLinux) {
    Capture capture;
    Error(Channel::driver, "%zu %lld %s %08X", std::size_t{7}, 1LL << 40, "COM7", 0x80004005u);
    EXPECT_EQ(capture.Text(), "trelvane: driver: 7 1099511627776 COM7 80004005\n");
}

}  // namespace
}  // namespace trelvane
