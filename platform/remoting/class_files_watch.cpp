#include "platform/remoting/class_files_watch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "platform/messages/thread_wait.h"
#include "platform/remoting/socket.h"

namespace platform::remoting {
namespace {

constexpr std::uint32_t kFolderChanges = IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF;

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

int OpenLog(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

}  // namespace

ClassFilesWatch::ClassFilesWatch(REFCLSID clsid, std::string socketPath, std::function<void()> socketGone)
    : m_socketPath(std::move(socketPath)),
      m_runFolder(FolderOf(m_socketPath)),
      m_socketName(m_socketPath.substr(m_runFolder.size() + 1)),
      m_logPath(ClassLogPath(clsid)),
      m_setAsideAt(kClassLogBound),
      m_socketGone(std::move(socketGone)) {
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        Log("cannot watch %s: errno %d; a socket removed there is not put back", m_runFolder.c_str(), errno);
        return;
    }
    WatchRunFolder();
    if (IsFileAt(STDERR_FILENO, m_logPath)) m_logWatch = ::inotify_add_watch(m_fd, m_logPath.c_str(), IN_MODIFY);
    const int fd = m_fd;
    m_sourceId = AddWaitSource({fd, [] { return kSourceReadable; }, [this](short) { OnChange(); }});
    BoundLog();  // one that has grown before the watch began
}

ClassFilesWatch::~ClassFilesWatch() {
    if (m_fd < 0) return;
    RemoveWaitSource(m_sourceId);
    ::close(m_fd);
}

void ClassFilesWatch::WatchRunFolder() {
    if (m_fd < 0) return;
    m_folderWatch = ::inotify_add_watch(m_fd, m_runFolder.c_str(), kFolderChanges);
    if (m_folderWatch < 0)
        Log("cannot watch %s: errno %d; a socket removed there is not put back", m_runFolder.c_str(), errno);
}

void ClassFilesWatch::OnChange() {
    alignas(inotify_event) char buffer[4096];
    bool socket = false, log = false;
    for (ssize_t n; (n = ::read(m_fd, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            // Of the folder's entries only the socket matters: the temporary
            // beside it goes with every listen, also one that failed, and
            // taking that for the socket's going would try again for ever.
            if (event->wd == m_folderWatch)
                socket = socket || event->len == 0 || std::string_view(event->name) == m_socketName;
            log = log || event->wd == m_logWatch;
            if (event->mask & IN_Q_OVERFLOW) socket = log = true;  // changes were lost: look at both
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (log) BoundLog();
    // A home removed whole (its state thrown away on purpose, as a test's
    // temporary home is) is not made again.
    struct stat info {};
    if (socket && (::lstat(m_socketPath.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) &&
        ::stat(FolderOf(m_runFolder).c_str(), &info) == 0)
        m_socketGone();
}

// The log is set aside as a client sets it aside before it starts a server,
// so that both together hold at most about twice the bound. A try that fails
// says so in this very log, which wakes this check again: the next try waits
// until the log has grown by another bound, so that the check never sets
// itself off and a lasting failure is told once a bound.
void ClassFilesWatch::BoundLog() {
    struct stat current {};
    if (m_logWatch < 0 || ::fstat(STDERR_FILENO, &current) != 0 || current.st_size < m_setAsideAt) return;
    m_setAsideAt = current.st_size + kClassLogBound;
    if (IsFileAt(STDERR_FILENO, m_logPath) && ::rename(m_logPath.c_str(), (m_logPath + ".1").c_str()) != 0) {
        Log("cannot set the log %s aside: errno %d; trying again once it has grown by another %lld bytes",
            m_logPath.c_str(), errno, kClassLogBound);
        return;
    }
    int fd = OpenLog(m_logPath);
    int error = fd < 0 ? errno : 0;
    // Its folder removed (the log with it) while the home stays: made again,
    // as the run folder is, rather than write on to a removed file.
    struct stat home {};
    if (error == ENOENT && ::stat(FolderOf(FolderOf(m_logPath)).c_str(), &home) == 0 &&
        SUCCEEDED(PrepareOwnFolder(FolderOf(m_logPath)))) {
        fd = OpenLog(m_logPath);
        error = fd < 0 ? errno : 0;
    }
    if (fd < 0) {
        Log("cannot open a new log %s: errno %d; writing on to the one set aside, trying again once it has grown by "
            "another %lld bytes",
            m_logPath.c_str(), error, kClassLogBound);
        return;
    }
    m_setAsideAt = kClassLogBound;
    std::fflush(stdout);
    std::fflush(stderr);
    struct stat output {};
    if (::fstat(STDOUT_FILENO, &output) == 0 && output.st_dev == current.st_dev && output.st_ino == current.st_ino)
        ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    ::inotify_rm_watch(m_fd, m_logWatch);
    m_logWatch = ::inotify_add_watch(m_fd, m_logPath.c_str(), IN_MODIFY);
}

}  // namespace platform::remoting
