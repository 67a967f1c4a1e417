#include "platform/base/ready_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/base/errno_map.h"
#include "platform/base/log.h"

namespace platform {

ReadySignal::ReadySignal() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_fd < 0) {
        const int error = errno;
        log::Error(log::Channel::messages, "no eventfd for a ready signal: errno %d", error);
        SetLastError(ErrnoToError(error));
    }
}

ReadySignal::~ReadySignal() {
    if (m_fd >= 0) ::close(m_fd);
}

void ReadySignal::Raise() {
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) is raised already.
    if (m_fd >= 0 && ::write(m_fd, &one, sizeof one) < 0 && errno != EAGAIN)
        log::Error(log::Channel::messages, "a ready signal could not be raised: errno %d", errno);
}

void ReadySignal::Clear() {
    std::uint64_t count = 0;
    // Empty already (EAGAIN) is cleared.
    if (m_fd >= 0 && ::read(m_fd, &count, sizeof count) < 0 && errno != EAGAIN)
        log::Error(log::Channel::messages, "a ready signal could not be cleared: errno %d", errno);
}

}  // namespace platform
