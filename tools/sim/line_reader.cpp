#include "tools/sim/line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace trelvane::sim {
namespace {

constexpr std::size_t kLongestLine = std::size_t{64} * 1024;

}  // namespace

std::optional<std::string> LineReader::TakeLine(bool atEnd) {
    const auto end = m_buffer.find('\n');
    if (end == std::string::npos && !(atEnd && !m_buffer.empty())) return std::nullopt;
    std::string line = m_buffer.substr(0, end);
    m_buffer.erase(0, end == std::string::npos ? m_buffer.size() : end + 1);
    return line;
}

std::optional<std::string> LineReader::Next(std::string* error) {
    while (true) {
        if (m_stop.Raised()) return std::nullopt;
        if (auto line = TakeLine(m_ended)) return line;
        if (m_ended) return std::nullopt;
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop.Fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            *error = std::string("poll: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (fds[1].revents & POLLIN) return std::nullopt;
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char chunk[4096];
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            *error = std::string("read: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) {
            m_ended = true;
        } else {
            m_buffer.append(chunk, static_cast<std::size_t>(n));
            if (m_buffer.size() > kLongestLine && m_buffer.find('\n') == std::string::npos) {
                *error = "a line longer than " + std::to_string(kLongestLine) + " bytes";
                return std::nullopt;
            }
        }
    }
}

}  // namespace trelvane::sim
