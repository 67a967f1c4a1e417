#include "platform/base/fd_io.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/base/errno_map.h"

namespace platform {

DWORD ReadAvailable(int fd, FdKind kind, const std::function<void(const BYTE*, std::size_t)>& sink) {
    BYTE chunk[4096];
    for (std::size_t taken = 0; taken < kMostReadAtOnce; taken += sizeof chunk) {
        const ssize_t n =
            kind == FdKind::Socket ? ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT) : ::read(fd, chunk, sizeof chunk);
        if (n == 0) return ERROR_DEVICE_NOT_CONNECTED;  // hung up; never read again
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return ERROR_SUCCESS;
            return ErrnoToError(errno);
        }
        sink(chunk, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < sizeof chunk) return ERROR_SUCCESS;
    }
    return ERROR_SUCCESS;  // more may wait: the descriptor stays readable
}

DWORD WriteAvailable(int fd, FdKind kind, const BYTE* data, std::size_t length, std::size_t* sent) {
    *sent = 0;
    while (*sent < length) {
        const ssize_t n = kind == FdKind::Socket ? ::send(fd, data + *sent, length - *sent, MSG_DONTWAIT | MSG_NOSIGNAL)
                                                 : ::write(fd, data + *sent, length - *sent);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return ERROR_SUCCESS;
            return ErrnoToError(errno);
        }
        *sent += static_cast<std::size_t>(n);
    }
    return ERROR_SUCCESS;
}

DWORD SendGathered(int fd, std::span<const std::span<const BYTE>> buffers, std::size_t* sent) {
    *sent = 0;
    iovec parts[kMaxGather];
    const std::size_t count = std::min(buffers.size(), kMaxGather);
    for (std::size_t i = 0; i < count; ++i) parts[i] = {const_cast<BYTE*>(buffers[i].data()), buffers[i].size()};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    for (;;) {
        const ssize_t n = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return ERROR_SUCCESS;
            return ErrnoToError(errno);
        }
        *sent = static_cast<std::size_t>(n);
        return ERROR_SUCCESS;
    }
}

}  // namespace platform
