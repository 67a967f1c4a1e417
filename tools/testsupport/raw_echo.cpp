#include "tools/testsupport/raw_echo.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace trelvane::testing {

std::vector<double> RawEchoRoundTrips(int count) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
    std::thread echo([fd = fds[1]] {
        unsigned char byte;
        while (::read(fd, &byte, 1) == 1)
            if (::write(fd, &byte, 1) != 1) break;
    });
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    unsigned char byte = 0x3F;
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (::write(fds[0], &byte, 1) != 1 || ::read(fds[0], &byte, 1) != 1) break;
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    ::shutdown(fds[0], SHUT_RDWR);
    echo.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return times;
}

}  // namespace trelvane::testing
