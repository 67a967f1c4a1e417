#include "platform/base/fd_io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/errno_map.h"

namespace platform {

DWORD ReadAvailable(int fd, FdKind kind, const std::function<void(const BYTE*, std::size_t)>& sink) {
    BYTE chunk[4096];
    for (;;) {
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

}  // namespace platform
