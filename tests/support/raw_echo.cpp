#include "tests/support/raw_echo.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace trelvane::testing {

namespace {

bool ReadAll(int fd, unsigned char* data, std::size_t size) {
    for (std::size_t got = 0; got < size;) {
        const ssize_t n = ::read(fd, data + got, size - got);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// The processes of EchoLoad::receivers, each reading what it is sent until
// its socket closes.
class Receivers {
public:
    explicit Receivers(int count) {
        for (int i = 0; i < count; ++i) {
            int fds[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
                std::fprintf(stderr, "cannot connect a receiver beside the echo: %s\n", std::strerror(errno));
                continue;
            }
            const pid_t pid = ::fork();
            if (pid == 0) {
                // Holds nothing but its own end (on standard input), so that
                // every other descriptor's end is seen where it is closed.
                if (::dup2(fds[1], STDIN_FILENO) < 0) ::_exit(1);
                ::close_range(STDERR_FILENO + 1, ~0U, 0);
                char buffer[4096];
                while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
                }
                ::_exit(0);
            }
            ::close(fds[1]);
            if (pid < 0) {
                std::fprintf(stderr, "cannot start a receiver beside the echo: %s\n", std::strerror(errno));
                ::close(fds[0]);
                continue;
            }
            m_children.push_back({pid, fds[0]});
        }
    }
    ~Receivers() {
        for (const Child& child : m_children) {
            ::close(child.fd);
            ::waitpid(child.pid, nullptr, 0);
        }
    }
    Receivers(const Receivers&) = delete;
    Receivers& operator=(const Receivers&) = delete;

    void Notify() const {
        static const unsigned char notice[EchoLoad::kNoticeBytes] = {};
        for (const Child& child : m_children)
            if (::send(child.fd, notice, sizeof notice, MSG_NOSIGNAL) < 0) return;
    }

private:
    struct Child {
        pid_t pid;
        int fd;
    };
    std::vector<Child> m_children;
};

}  // namespace

std::vector<double> RawEchoRoundTrips(int count, std::size_t size, EchoLoad load) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
    const Receivers receivers(load.receivers);
    std::thread echo([fd = fds[1], size, &receivers] {
        std::vector<unsigned char> message(size);
        while (ReadAll(fd, message.data(), size)) {
            if (::write(fd, message.data(), size) != static_cast<ssize_t>(size)) break;
            receivers.Notify();
        }
    });
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    std::vector<unsigned char> message(size, 0x3F);
    for (int i = 0; i < count; ++i) {
        if (load.gap.count() > 0) std::this_thread::sleep_for(load.gap);
        const auto start = std::chrono::steady_clock::now();
        if (::write(fds[0], message.data(), size) != static_cast<ssize_t>(size) ||
            !ReadAll(fds[0], message.data(), size))
            break;
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    ::shutdown(fds[0], SHUT_RDWR);
    echo.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return times;
}

std::vector<double> PtyEchoRoundTrips(int count, EchoLoad load) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return {};
    const int device = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (device < 0 || ::tcgetattr(device, &raw) != 0) return {};
    ::cfmakeraw(&raw);
    ::tcsetattr(device, TCSANOW, &raw);
    const Receivers receivers(load.receivers);
    std::thread echo([device, &receivers] {
        unsigned char byte;
        while (::read(device, &byte, 1) == 1) {
            if (::write(device, &byte, 1) != 1) break;
            receivers.Notify();
        }
    });
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    unsigned char byte = 0x3F;
    for (int i = 0; i < count; ++i) {
        if (load.gap.count() > 0) std::this_thread::sleep_for(load.gap);
        const auto start = std::chrono::steady_clock::now();
        pollfd answer{master, POLLIN, 0};
        if (::write(master, &byte, 1) != 1 || ::poll(&answer, 1, 2000) != 1 || ::read(master, &byte, 1) != 1) break;
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    ::close(master);  // hangs up the device side: the echo's read ends
    echo.join();
    ::close(device);
    return times;
}

}  // namespace trelvane::testing
