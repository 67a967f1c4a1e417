// Non-blocking reads: what one call takes from a descriptor.
#include "platform/base/fd_io.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace trelvane {
namespace {

TEST(ReadAvailable, TakesABoundedAmountACallAndTheRestOnTheNext) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    // More than one call takes, as a peer that writes as fast as we read has.
    constexpr std::size_t kWritten = platform::kMostReadAtOnce + 5000;
    int size = 4 * kWritten;
    ASSERT_EQ(::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
    const std::vector<BYTE> bytes(kWritten, 0x3F);
    ASSERT_EQ(::send(fds[1], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    std::size_t taken = 0;
    const auto sink = [&](const BYTE*, std::size_t length) { taken += length; };
    EXPECT_EQ(platform::ReadAvailable(fds[0], platform::FdKind::Socket, sink), ERROR_SUCCESS);
    EXPECT_EQ(taken, platform::kMostReadAtOnce);
    EXPECT_EQ(platform::ReadAvailable(fds[0], platform::FdKind::Socket, sink), ERROR_SUCCESS);
    EXPECT_EQ(taken, kWritten);
    ::close(fds[1]);
    EXPECT_EQ(platform::ReadAvailable(fds[0], platform::FdKind::Socket, sink), ERROR_DEVICE_NOT_CONNECTED);
    ::close(fds[0]);
}

}  // namespace
}  // namespace trelvane
