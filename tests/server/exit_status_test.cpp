#include <gtest/gtest.h>

#include "platform/windows.h"
#include "server/exit_status.h"

namespace trelvane {
namespace {

TEST(ExitStatus, IsZeroForSuccessOneForFailureAnd255ForAFailedStart) {
    const struct {
        int entryResult;
        int status;
    } cases[] = {
        {S_OK, 0}, {S_FALSE, 0}, {0x7FFFFFFF, 0}, {E_FAIL, 1}, {CO_E_OBJISREG, 1}, {static_cast<int>(0x80000000), 1},
        {-1, 255},
    };
    for (const auto& c : cases) EXPECT_EQ(server::ExitStatus(c.entryResult), c.status) << std::hex << c.entryResult;
}

}  // namespace
}  // namespace trelvane
