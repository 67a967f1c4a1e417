#include "platform/remoting/socket.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "platform/base/errno_map.h"
#include "platform/base/file_trust.h"
#include "platform/base/log.h"
#include "platform/base/paths.h"

namespace platform::remoting {
namespace {

std::string GuidText(REFGUID guid) {
    WCHAR text[CHARS_IN_GUID];
    StringFromGUID2(guid, text, CHARS_IN_GUID);
    return std::string(text, text + CHARS_IN_GUID - 1);
}

HRESULT FromErrno(int error) { return HRESULT_FROM_WIN32(ErrnoToError(error)); }

bool MakeAddress(const std::string& path, sockaddr_un* address) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) {
        Log("the socket path %s is longer than a socket address holds", path.c_str());
        return false;
    }
    path.copy(address->sun_path, path.size());
    return true;
}

}  // namespace

std::string RunFolder() { return TrelvaneHome() + "/run"; }

std::string ClassSocketPath(REFCLSID clsid) { return RunFolder() + "/" + GuidText(clsid); }
std::string ClassLockPath(REFCLSID clsid) { return RunFolder() + "/" + GuidText(clsid) + ".lock"; }
std::string ClassLogPath(REFCLSID clsid) { return TrelvaneHome() + "/log/" + GuidText(clsid) + ".log"; }

HRESULT PrepareOwnFolder(const std::string& path) {
    if (TrelvaneHome().empty()) return E_ACCESSDENIED;  // why is logged
    std::string why;
    if (const int error = PrepareTrustedFolder(TrelvaneHomeTop(), path, 077, &why)) {
        Log("%s", why.c_str());
        return FromErrno(error);
    }
    return S_OK;
}

HRESULT PrepareRunFolder() { return PrepareOwnFolder(RunFolder()); }

int LockExclusive(const std::string& path, HRESULT* hr) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *hr = FromErrno(errno);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *hr = errno == EWOULDBLOCK ? CO_E_OBJISREG : FromErrno(errno);
        ::close(fd);
        return -1;
    }
    *hr = S_OK;
    return fd;
}

bool IsFileAt(int fd, const std::string& path) {
    struct stat held {
    }, named{};
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

int ListenAt(const std::string& path, HRESULT* hr) {
    // The caller holds the class's lock, so the name beside path is ours alone.
    const std::string made = path + ".new";
    sockaddr_un address;
    if (!MakeAddress(made, &address)) {
        *hr = E_INVALIDARG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *hr = FromErrno(errno);
        return -1;
    }
    ::unlink(made.c_str());  // left by a server that died while it registered
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::chmod(made.c_str(), 0600) != 0 ||
        ::listen(fd, 64) != 0 || ::rename(made.c_str(), path.c_str()) != 0) {
        *hr = FromErrno(errno);
        Log("cannot listen at %s: errno %d", path.c_str(), errno);
        ::close(fd);
        ::unlink(made.c_str());
        return -1;
    }
    *hr = S_OK;
    return fd;
}

int ConnectTo(const std::string& path, bool* noServer, HRESULT* hr, DWORD waitMs) {
    *noServer = false;
    sockaddr_un address;
    if (!MakeAddress(path, &address)) {
        *hr = E_INVALIDARG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *hr = FromErrno(errno);
        return -1;
    }
    // A blocking connect waits for room in the listener's queue as long as a
    // blocking send would wait: bounded so.
    const timeval wait{static_cast<time_t>(waitMs / 1000), static_cast<suseconds_t>(waitMs % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EAGAIN) {
            Log("%s took no connection within %lu ms", path.c_str(), static_cast<unsigned long>(waitMs));
            *hr = RPC_E_TIMEOUT;
            return -1;
        }
        *noServer = error == ENOENT || error == ECONNREFUSED;
        *hr = error == EACCES || error == EPERM ? E_ACCESSDENIED : FromErrno(error);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    *hr = S_OK;
    return fd;
}

int AcceptFrom(int listenFd, int* error) {
    for (;;) {
        *error = 0;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) return fd;
        if (errno == EINTR || errno == ECONNABORTED) continue;
        *error = errno;
        return -1;
    }
}

Peer PeerOf(int fd) {
    Peer peer;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return peer;
    peer.known = true;
    peer.pid = credentials.pid;
    peer.uid = static_cast<long>(credentials.uid);
    peer.sameUser = credentials.uid == ::geteuid();
    return peer;
}

void CloseSocket(int fd) {
    if (fd >= 0) ::close(fd);
}

void ShutDownSocket(int fd) {
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void RemovePath(const std::string& path) { ::unlink(path.c_str()); }

void Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    log::WriteV(log::Channel::remoting, log::Level::error, format, args);
    va_end(args);
}

}  // namespace platform::remoting
