#include "tests/support/raw_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace trelvane::testing {

RawPeer::RawPeer(const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return;
    socketPath.copy(address.sun_path, socketPath.size());
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

RawPeer::~RawPeer() {
    if (m_fd >= 0) ::close(m_fd);
}

bool RawPeer::Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return m_fd >= 0;
}

bool RawPeer::Fill(std::size_t count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_in.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd pfd{m_fd, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        m_in.insert(m_in.end(), buffer, buffer + n);
    }
    return true;
}

bool RawPeer::HasInput() {
    pollfd pfd{m_fd, POLLIN, 0};
    return !m_in.empty() || (::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN));
}

void RawPeer::CloseWrite() {
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_WR);
}

void RawPeer::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

std::vector<std::uint8_t> RawPeer::ReadFrame(int timeoutMs) {
    if (!Fill(4, timeoutMs)) return {};
    std::uint32_t length;
    std::memcpy(&length, m_in.data(), 4);
    if (!Fill(4 + length, timeoutMs)) return {};
    std::vector<std::uint8_t> body(m_in.begin() + 4, m_in.begin() + 4 + length);
    m_in.erase(m_in.begin(), m_in.begin() + 4 + length);
    return body;
}

bool RawPeer::WaitClosed(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd pfd{m_fd, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
        std::uint8_t buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) return true;
    }
}

bool RawPeer::WaitShutDown(int timeoutMs) {
    // Only the other side's shutdown wakes this poll: data that waits does not.
    pollfd pfd{m_fd, POLLRDHUP, 0};
    return ::poll(&pfd, 1, timeoutMs) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool RawPeer::Closed() {
    for (;;) {
        std::uint8_t buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) continue;
        return n == 0 || (errno != EAGAIN && errno != EINTR);
    }
}

}  // namespace trelvane::testing
