#include "tests/support/raw_echo.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
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

}  // namespace

std::vector<double> RawEchoRoundTrips(int count, std::size_t size) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
    std::thread echo([fd = fds[1], size] {
        std::vector<unsigned char> message(size);
        while (ReadAll(fd, message.data(), size))
            if (::write(fd, message.data(), size) != static_cast<ssize_t>(size)) break;
    });
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    std::vector<unsigned char> message(size, 0x3F);
    for (int i = 0; i < count; ++i) {
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

std::vector<double> PtyEchoRoundTrips(int count) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return {};
    const int device = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (device < 0 || ::tcgetattr(device, &raw) != 0) return {};
    ::cfmakeraw(&raw);
    ::tcsetattr(device, TCSANOW, &raw);
    std::thread echo([device] {
        unsigned char byte;
        while (::read(device, &byte, 1) == 1)
            if (::write(device, &byte, 1) != 1) break;
    });
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    unsigned char byte = 0x3F;
    for (int i = 0; i < count; ++i) {
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
