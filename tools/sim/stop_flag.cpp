#include "tools/sim/stop_flag.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cerrno>

namespace trelvane::sim {

StopFlag::StopFlag() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_fd < 0) std::fprintf(stderr, "trelvane-sim: eventfd: %s\n", std::strerror(errno));
}

StopFlag::~StopFlag() {
    if (m_fd >= 0) ::close(m_fd);
}

void StopFlag::Raise() {
    m_raised = true;
    const std::uint64_t one = 1;
    if (m_fd >= 0 && ::write(m_fd, &one, sizeof one) < 0 && errno != EAGAIN)
        std::fprintf(stderr, "trelvane-sim: cannot signal the stop: %s\n", std::strerror(errno));
}

void StopFlag::Wait() const {
    while (!Raised()) {
        pollfd fd{m_fd, POLLIN, 0};
        if (m_fd < 0 || (::poll(&fd, 1, -1) < 0 && errno != EINTR)) {
            std::fprintf(stderr, "trelvane-sim: cannot wait for the stop: %s\n", std::strerror(errno));
            return;
        }
    }
}

}  // namespace trelvane::sim
