#include "platform/remoting/server_launch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "platform/base/errno_map.h"
#include "platform/base/error_text.h"
#include "platform/base/paths.h"
#include "platform/base/utf8.h"
#include "platform/remoting/activation_ready.h"
#include "platform/remoting/detached_process.h"
#include "platform/remoting/server_command.h"
#include "platform/remoting/socket.h"

namespace platform::remoting {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kDefaultBoundMs = 30000;
constexpr auto kQuietServer = std::chrono::milliseconds(200);

HRESULT FromErrno(int error) { return HRESULT_FROM_WIN32(ErrnoToError(error)); }

std::string GuidText(REFCLSID clsid) {
    WCHAR text[CHARS_IN_GUID];
    StringFromGUID2(clsid, text, CHARS_IN_GUID);
    return ToUtf8(text);
}

// The class's log: what its servers write, and what activation did.
class ClassLog {
public:
    explicit ClassLog(REFCLSID clsid) {
        m_path = ClassLogPath(clsid);
        if (FAILED(PrepareOwnFolder(m_path.substr(0, m_path.rfind('/'))))) return;
        m_fd = Open(m_path);
        if (m_fd < 0) Log("cannot open the log %s: errno %d", m_path.c_str(), errno);
    }
    ~ClassLog() {
        if (m_fd >= 0) ::close(m_fd);
    }
    ClassLog(const ClassLog&) = delete;
    ClassLog& operator=(const ClassLog&) = delete;

    int Fd() const { return m_fd; }

    // Before a server is started (the launch lock held, so one client at a
    // time): a log that has reached kClassLogBound bytes becomes "<log>.1",
    // replacing the one before, and what follows goes to a new log. A log
    // that another client has set aside since we opened it is left for the
    // current one.
    void Rotate() {
        if (m_fd < 0) return;
        struct stat current {};
        if (::lstat(m_path.c_str(), &current) == 0 && current.st_size >= kClassLogBound &&
            ::rename(m_path.c_str(), (m_path + ".1").c_str()) != 0) {
            const int error = errno;
            Write(true, "cannot set the log %s aside: errno %d", m_path.c_str(), error);
            return;
        }
        struct stat own {};
        if (::fstat(m_fd, &own) == 0 && ::lstat(m_path.c_str(), &current) == 0 && own.st_ino == current.st_ino &&
            own.st_dev == current.st_dev)
            return;
        const int fd = Open(m_path);
        if (fd < 0) {
            const int error = errno;
            Write(true, "cannot open the log %s: errno %d; writing on to the one before", m_path.c_str(), error);
            return;
        }
        ::close(m_fd);
        m_fd = fd;
    }

    // A line in the log, with the time; failures go to standard error too.
    void Write(bool failure, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        char text[1024];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        if (failure) Log("%s", text);
        if (m_fd < 0) return;
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
        char line[1100];
        const int length = std::snprintf(line, sizeof line, "%s trelvane: activation (pid %d): %s\n", stamp,
                                         static_cast<int>(::getpid()), text);
        [[maybe_unused]] const ssize_t written =
            ::write(m_fd, line, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof line - 1));
    }

private:
    static int Open(const std::string& path) {
        return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    }

    std::string m_path;
    int m_fd = -1;
};

// Changes in the run folder: a socket that appears, a lock file closed.
// Waiting on them costs nothing while nothing happens. Closing the watch
// waits for the kernel to retire it (a grace period of milliseconds), so
// the common case, a client that starts the server itself, does without.
class RunFolderWatch {
public:
    RunFolderWatch() {
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd >= 0 && ::inotify_add_watch(m_fd, RunFolder().c_str(),
                                             IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        if (m_fd < 0) m_error = errno;
    }
    ~RunFolderWatch() {
        if (m_fd >= 0) ::close(m_fd);
    }
    RunFolderWatch(const RunFolderWatch&) = delete;
    RunFolderWatch& operator=(const RunFolderWatch&) = delete;

    bool Ok() const { return m_fd >= 0; }
    int Error() const { return m_error; }
    int Fd() const { return m_fd; }

    void Drain() {
        alignas(inotify_event) char buffer[4096];
        while (::read(m_fd, buffer, sizeof buffer) > 0) {
        }
    }

private:
    int m_fd = -1;
    int m_error = 0;
};

// What ended a wait: a change in the run folder, word from the server
// started (its ready socket readable), its end, the deadline, a failure.
enum class Outcome { Changed, Ready, Ended, TimedOut, Failed };

// Sleeps until one of the descriptors that are not -1 is readable or the
// deadline passes; a change in the folder is drained.
Outcome Wait(RunFolderWatch* watch, int readyFd, int pidfd, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Outcome::TimedOut;
        pollfd fds[3] = {{watch ? watch->Fd() : -1, POLLIN, 0}, {readyFd, POLLIN, 0}, {pidfd, POLLIN, 0}};
        const int ready = ::poll(fds, 3, static_cast<int>(std::min<long long>(left, 1 << 30)));  // -1s are skipped
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Outcome::Failed;
        if (ready == 0) continue;  // the deadline is checked above
        if (fds[0].revents) watch->Drain();
        if (fds[2].revents) return Outcome::Ended;
        if (fds[1].revents) return Outcome::Ready;
        return Outcome::Changed;
    }
}

// The watch, made when first needed; false (with the error logged) when it
// cannot be.
bool EnsureWatch(std::optional<RunFolderWatch>& watch, ClassLog& log, HRESULT* hr) {
    if (!watch) watch.emplace();
    if (watch->Ok()) return true;
    *hr = FromErrno(watch->Error());
    log.Write(true, "cannot watch %s: errno %d", RunFolder().c_str(), watch->Error());
    return false;
}

// The lock that lets one client at a time start the class's server. Its
// file stays open while the client waits for it: closing it is the event
// that wakes the waiting clients, and must come only from its holder.
class LaunchLock {
public:
    explicit LaunchLock(REFCLSID clsid) {
        const std::string path = RunFolder() + "/" + GuidText(clsid) + ".launch";
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0) m_error = errno;
    }
    ~LaunchLock() {
        if (m_fd >= 0) ::close(m_fd);  // releases the lock
    }
    LaunchLock(const LaunchLock&) = delete;
    LaunchLock& operator=(const LaunchLock&) = delete;

    // True once held; false while another holds it, or with *hr on failure.
    bool TryTake(HRESULT* hr) {
        *hr = S_OK;
        if (m_fd < 0) {
            *hr = FromErrno(m_error);
            return false;
        }
        if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK) *hr = FromErrno(errno);
        return false;
    }

private:
    int m_fd = -1;
    int m_error = 0;
};

// A connection to the class's socket; -1 with *hr S_OK while nothing
// listens there, -1 with the error for any other failure (RPC_E_TIMEOUT for
// a listener that takes no connection by the activation's deadline).
int TryConnect(const std::string& path, Clock::time_point deadline, HRESULT* hr) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    bool noServer = false;
    const int fd = ConnectTo(path, &noServer, hr, static_cast<DWORD>(std::clamp<long long>(left, 1, kConnectWaitMs)));
    if (fd < 0 && noServer) *hr = S_OK;
    return fd;
}

std::string Text(HRESULT hr) { return SystemMessageText(static_cast<DWORD>(hr)); }

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Waits, holding the launch lock, for the server just started to listen:
// on its word over the ready socket, and failing that (a server that closed
// the socket unused or keeps it quiet, or one whose class is not yet
// listening when it sends) on the run folder.
int AwaitServer(const std::string& socketPath, const DetachedProcess& server, int readyFd, DWORD boundMs,
                std::optional<RunFolderWatch>& watch, ClassLog& log, const std::string& command, HRESULT* hr) {
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(boundMs);
    for (bool look = false;; look = true) {
        if (look) {
            if (int fd = TryConnect(socketPath, deadline, hr); fd >= 0 || FAILED(*hr)) {
                if (fd >= 0)
                    log.Write(false, "%s (pid %ld) serves after %lld ms", command.c_str(), server.pid,
                              MillisecondsSince(start));
                return fd;
            }
            if (readyFd < 0 && !watch) {
                if (!EnsureWatch(watch, log, hr)) return -1;
                continue;  // made now, it sees every change from here on: look again first
            }
        }
        // A server that keeps the socket but says nothing (one not built on
        // this platform, or one started through a wrapper that drops the
        // environment entry) is looked for in the run folder once it has
        // been quiet for a while.
        const bool onlyReady = readyFd >= 0 && !watch;
        const auto outcome = Wait(watch ? &*watch : nullptr, readyFd, server.pidfd,
                                  onlyReady ? std::min(deadline, start + kQuietServer) : deadline);
        if (outcome == Outcome::Ready || (outcome == Outcome::TimedOut && onlyReady && Clock::now() < deadline)) {
            readyFd = -1;  // it has said what it will say: next time, the folder is watched
            continue;
        }
        if (outcome == Outcome::Changed) continue;
        *hr = CO_E_SERVER_EXEC_FAILURE;
        if (outcome == Outcome::Ended) {
            if (int fd = TryConnect(socketPath, deadline, hr); fd >= 0) return fd;  // another server came up meanwhile
            *hr = CO_E_SERVER_EXEC_FAILURE;
            log.Write(true, "%s (pid %ld) ended before it registered its class object", command.c_str(), server.pid);
        } else {
            // A server that has not come up in time is not left to hang on.
            ::syscall(SYS_pidfd_send_signal, server.pidfd, SIGKILL, nullptr, 0);
            log.Write(true, "%s (pid %ld) did not register its class object within %u ms; killed", command.c_str(),
                      server.pid, static_cast<unsigned>(boundMs));
        }
        return -1;
    }
}

// Starts the server (the caller holds the launch lock) and waits for it.
int StartServer(const std::u16string& registered, const std::string& socketPath, DWORD boundMs,
                std::optional<RunFolderWatch>& watch, ClassLog& log, HRESULT* hr) {
    const std::u16string commandLine = registered + u" -Embedding";
    const std::string command = ToUtf8(commandLine);
    if (log.Fd() < 0) {
        *hr = CO_E_SERVER_EXEC_FAILURE;
        Log("not starting %s: it has no log to write to", command.c_str());
        return -1;
    }
    log.Rotate();
    int ready[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ready) != 0) {
        const int error = errno;
        *hr = FromErrno(error);
        log.Write(true, "cannot start %s: no ready socket: errno %d", command.c_str(), error);
        return -1;
    }
    // Without its entry the server cannot know the socket: it is not passed,
    // and its closing sends the wait to the run folder.
    const std::string entry = ReadySocketEntry(ready[1]);
    DetachedProcess server;
    *hr = entry.empty() ? StartDetachedProcess({SplitCommandLine(commandLine), {}, log.Fd(), -1}, &server)
                        : StartDetachedProcess({SplitCommandLine(commandLine), {entry}, log.Fd(), ready[1]}, &server);
    ::close(ready[1]);
    int fd = -1;
    if (FAILED(*hr)) {
        log.Write(true, "cannot start %s: 0x%08X %s", command.c_str(), static_cast<unsigned>(*hr), Text(*hr).c_str());
    } else {
        log.Write(false, "started %s as pid %ld", command.c_str(), server.pid);
        fd = AwaitServer(socketPath, server, ready[0], boundMs, watch, log, command, hr);
        ::close(server.pidfd);
    }
    ::close(ready[0]);
    return fd;
}

}  // namespace

HRESULT ActivationBound(DWORD* ms) {
    *ms = kDefaultBoundMs;
    const char* text = std::getenv("TRELVANE_ACTIVATION_TIMEOUT_MS");
    if (text == nullptr || *text == '\0') return S_OK;
    unsigned long value = 0;
    for (const char* p = text; value <= kLongestActivationBoundMs; ++p) {
        if (*p == '\0') {
            if (value == 0) break;
            *ms = static_cast<DWORD>(value);
            return S_OK;
        }
        if (*p < '0' || *p > '9') break;
        value = value * 10 + static_cast<unsigned long>(*p - '0');
    }
    Log("TRELVANE_ACTIVATION_TIMEOUT_MS=%.40s is not a number of milliseconds from 1 to %u", text,
        static_cast<unsigned>(kLongestActivationBoundMs));
    return E_INVALIDARG;
}

int LaunchLocalServer(REFCLSID clsid, HRESULT* hr) {
    DWORD boundMs = 0;
    if (*hr = ActivationBound(&boundMs); FAILED(*hr)) return -1;
    std::u16string registered;
    if (*hr = ReadLocalServerCommand(clsid, &registered); FAILED(*hr)) {
        Log("cannot activate %s: 0x%08X %s", GuidText(clsid).c_str(), static_cast<unsigned>(*hr), Text(*hr).c_str());
        return -1;
    }
    if (*hr = PrepareRunFolder(); FAILED(*hr)) {
        Log("cannot activate %s: no run folder %s: 0x%08X %s", GuidText(clsid).c_str(), RunFolder().c_str(),
            static_cast<unsigned>(*hr), Text(*hr).c_str());
        return -1;
    }
    ClassLog log(clsid);
    const std::string socketPath = ClassSocketPath(clsid);
    const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
    LaunchLock lock(clsid);
    std::optional<RunFolderWatch> watch;
    // Another client may be starting the server: wait for it to listen, or
    // for the lock, which that client gives back when its start has failed.
    for (;;) {
        if (int fd = TryConnect(socketPath, deadline, hr); fd >= 0 || FAILED(*hr)) return fd;
        if (lock.TryTake(hr)) break;
        if (FAILED(*hr)) return -1;
        if (!watch) {
            // Made now, it sees every change from here on: look again first.
            if (!EnsureWatch(watch, log, hr)) return -1;
            continue;
        }
        if (Wait(&*watch, -1, -1, deadline) != Outcome::Changed) {
            *hr = CO_E_SERVER_EXEC_FAILURE;
            log.Write(true, "gave up after %u ms waiting for another client's start of %s",
                      static_cast<unsigned>(boundMs), ToUtf8(registered).c_str());
            return -1;
        }
    }
    // A server may have come up between the last look and taking the lock.
    if (int fd = TryConnect(socketPath, deadline, hr); fd >= 0 || FAILED(*hr)) return fd;
    return StartServer(registered, socketPath, boundMs, watch, log, hr);
}

}  // namespace platform::remoting
