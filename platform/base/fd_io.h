// Non-blocking reads and writes on a device descriptor, with the platform's
// error numbers: a hang-up or an end of stream is ERROR_DEVICE_NOT_CONNECTED.
#pragma once

#include <cstddef>
#include <functional>
#include <span>

#include "platform/base/types.h"

namespace platform {

enum class FdKind { Device, Socket };

// Hands what is readable now to sink, chunk by chunk, up to kMostReadAtOnce
// bytes: a peer that writes as fast as we read neither piles up memory in
// the sink nor keeps the caller from its other work; the caller's next wait
// finds the rest at once.
inline constexpr std::size_t kMostReadAtOnce = std::size_t{64} * 1024;
DWORD ReadAvailable(int fd, FdKind kind, const std::function<void(const BYTE*, std::size_t)>& sink);
// Writes what the descriptor takes now; *sent may be short of length.
DWORD WriteAvailable(int fd, FdKind kind, const BYTE* data, std::size_t length, std::size_t* sent);
// Sends the buffers, in order, in one system call as far as the socket takes
// them now (the first kMaxGather of them); *sent counts the bytes taken.
inline constexpr std::size_t kMaxGather = 64;
DWORD SendGathered(int fd, std::span<const std::span<const BYTE>> buffers, std::size_t* sent);

}  // namespace platform
