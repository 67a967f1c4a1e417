#include "tests/support/stuck_listener.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

namespace trelvane::testing {

StuckListener::StuckListener(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return;
    path.copy(address.sun_path, path.size());
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 0) != 0)
        return;
    // Connections that do not wait, until the queue takes no more.
    while (m_queued.size() < 8) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            m_full = errno == EAGAIN;
            ::close(fd);
            return;
        }
        m_queued.push_back(fd);
    }
}

StuckListener::~StuckListener() {
    for (int fd : m_queued) ::close(fd);
    if (m_listener >= 0) ::close(m_listener);
}

}  // namespace trelvane::testing
