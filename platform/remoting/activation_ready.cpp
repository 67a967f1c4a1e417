#include "platform/remoting/activation_ready.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform::remoting {
namespace {

constexpr char kVariable[] = "TRELVANE_ACTIVATION_READY";

// The socket named in our environment, taken before main runs (no other
// thread can read the environment yet): its entry is removed so that no
// process we start sees it, and the descriptor is closed on exec. The
// socket's inode is part of the entry, so a descriptor 3 that is not the
// client's socket is left alone.
int TakeReadySocket() {
    const char* value = std::getenv(kVariable);
    if (value == nullptr) return -1;
    int fd = -1;
    unsigned long long inode = 0;
    const bool parsed = std::sscanf(value, "%d:%llu", &fd, &inode) == 2;
    ::unsetenv(kVariable);
    struct stat info {};
    if (!parsed || fd != kReadyFd || ::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_ino != inode)
        return -1;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

std::atomic<int> g_readySocket{TakeReadySocket()};

}  // namespace

std::string ReadySocketEntry(int serverEnd) {
    struct stat info {};
    if (::fstat(serverEnd, &info) != 0) return {};
    return std::string(kVariable) + "=" + std::to_string(kReadyFd) + ":" +
           std::to_string(static_cast<unsigned long long>(info.st_ino));
}

void SignalActivationReady() {
    const int fd = g_readySocket.exchange(-1);
    if (fd < 0) return;
    const char ready = 1;
    // A client that has gone is no reason to end; one that is waiting
    // learns as much from the closing if the byte cannot be sent.
    [[maybe_unused]] const ssize_t sent = ::send(fd, &ready, 1, MSG_NOSIGNAL);
    ::close(fd);
}

}  // namespace platform::remoting
