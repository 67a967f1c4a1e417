#include "tools/sim/port_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/base/file_trust.h"
#include "platform/base/paths.h"
#include "platform/base/text_case.h"

namespace trelvane::sim {
namespace {

namespace fs = std::filesystem;

std::string Reason() { return std::strerror(errno); }

// Whether something listens on the socket at path.
bool SomeoneListens(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                           errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return connected;
}

// The process named in a lock file, or empty.
std::string LockHolder(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    std::string pid(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    return pid;
}

// Takes the lock file; -1 with *error set when another process holds it.
int LockPort(const std::string& lockPath, const std::string& portName, std::string* error) {
    while (true) {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            *error = "cannot open " + lockPath + ": " + Reason();
            return -1;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const bool busy = errno == EWOULDBLOCK;
            const std::string holder = busy ? LockHolder(fd) : "";
            *error = busy ? portName + " is already served by trelvane-sim" +
                                (holder.empty() ? "" : " (process " + holder + ")")
                          : "cannot lock " + lockPath + ": " + Reason();
            ::close(fd);
            return -1;
        }
        // The previous holder removes the file as it ends; a lock on a file
        // no longer under that name counts for nothing, so try again.
        struct stat opened {
        }, named{};
        if (::fstat(fd, &opened) == 0 && ::stat(lockPath.c_str(), &named) == 0 && opened.st_ino == named.st_ino &&
            opened.st_dev == named.st_dev) {
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
                *error = "cannot write " + lockPath + ": " + Reason();
                ::close(fd);
                return -1;
            }
            return fd;
        }
        ::close(fd);
    }
}

// Removes a dosdevices entry for the port that a simulator left behind, or
// says why the entry is not to be touched.
std::string ClearStaleEntry(const fs::path& entry, const std::string& ownSocket, std::string* note) {
    const std::string shown = entry.string();
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(entry, ec)))
        return shown + " is not a link to a virtual line; remove it or choose another port";
    fs::path target = fs::read_symlink(entry, ec);
    if (ec) return "cannot read the link " + shown + ": " + ec.message();
    if (target.is_relative()) target = entry.parent_path() / target;
    struct stat info {};
    const bool exists = ::stat(target.c_str(), &info) == 0;
    if (exists && S_ISSOCK(info.st_mode)) {
        if (SomeoneListens(target.string()))
            return shown + " is served by another program (its virtual line " + target.string() + " is live)";
    } else if (exists || target.string() != ownSocket) {
        return shown + " links to " + target.string() +
               (exists ? ", which is no virtual line" : ", which does not exist and is no simulator's") +
               "; remove the link or choose another port";
    }
    if (::unlink(entry.c_str()) != 0 && errno != ENOENT)
        return "cannot remove the stale link " + shown + ": " + Reason();
    *note += (note->empty() ? "" : "; ") + std::string("removed the stale link ") + shown +
             " left by a simulator that did not end cleanly";
    return "";
}

}  // namespace

std::unique_ptr<PortClaim> PortClaim::Take(const std::string& home, int port, std::string* error, std::string* note) {
    const std::string name = "com" + std::to_string(port);
    const fs::path run = fs::path(home) / "run";
    const fs::path dosdevices = fs::path(home) / "dosdevices";
    // Nothing the simulator makes (the home too, when it makes it) may be
    // written by others, whatever the umask: it would not be trusted.
    ::umask(::umask(0) | 022);
    // Another user's links in them would decide what the simulator and the
    // server open.
    for (const auto& folder : {run, dosdevices}) {
        if (platform::PrepareTrustedFolder(platform::TrelvaneHomeTop(), folder.string(), 022, error) != 0)
            return nullptr;
    }
    const std::string lockPath = (run / ("vline-" + name + ".lock")).string();
    const int fd = LockPort(lockPath, "COM" + std::to_string(port), error);
    if (fd < 0) return nullptr;
    std::unique_ptr<PortClaim> claim(new PortClaim(lockPath, fd));
    const std::string ownSocket = (run / ("vline-" + name + ".sock")).string();
    std::error_code ec;
    std::vector<fs::path> entries;  // the name without regard to case, as the port is looked up
    for (const auto& entry : fs::directory_iterator(dosdevices, ec))
        if (platform::EqualNoCase(entry.path().filename().string(), name)) entries.push_back(entry.path());
    if (ec) {
        *error = "cannot read " + dosdevices.string() + ": " + ec.message();
        return nullptr;
    }
    for (const auto& entry : entries) {
        *error = ClearStaleEntry(entry, ownSocket, note);
        if (!error->empty()) return nullptr;
    }
    return claim;
}

PortClaim::~PortClaim() {
    ::unlink(m_lockPath.c_str());  // while still locked: see LockPort
    ::close(m_fd);
}

}  // namespace trelvane::sim
