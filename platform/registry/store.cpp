#include "platform/registry/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/base/error_text.h"
#include "platform/base/file_trust.h"
#include "platform/base/log.h"
#include "platform/base/paths.h"
#include "platform/registry/reg_format.h"

namespace platform::registry {
namespace {

constexpr const char* kDefaultMachineDirectory = "/var/lib/trelvane/registry";
constexpr std::size_t kMaxStoreBytes = std::size_t{16} * 1024 * 1024;

constexpr const char* kAsidePrefix = "classes.reg.new";

std::atomic<void (*)(CommitStep)> g_commitHook{nullptr};
std::atomic<unsigned> g_asideCount{0};

std::string DataPath(const StoreLocation& store) { return store.directory + "/classes.reg"; }

// A folder named relative to the working folder would be another one in
// every working folder.
bool Located(const StoreLocation& store) { return !store.directory.empty() && store.directory[0] == '/'; }

// Empty when the store's folder, and those above it up to its top, could
// have been written only by this user or root; else what is wrong.
std::string DistrustOfFolders(const StoreLocation& store, bool* complete) {
    *complete = false;
    if (!Located(store))
        return "its folder \"" + store.directory +
               "\" is no absolute path: set TRELVANE_HOME (TRELVANE_MACHINE_REGISTRY for the machine's) to one";
    return DistrustFolders(store.top.empty() ? store.directory : store.top, store.directory, complete);
}

void Log(const std::string& path, const std::string& what, DWORD error) {
    log::Error(log::Channel::registry, "%s: %s: %s", path.c_str(), what.c_str(), SystemMessageText(error).c_str());
}

// A descriptor that closes itself.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// The store's text; *present is false when there is no file. When it cannot
// be had, *what says why and what to fix.
bool ReadText(const StoreLocation& store, std::string* text, bool* present, std::string* what) {
    text->clear();
    *present = false;
    bool complete = false, exists = false;
    std::string distrust = DistrustOfFolders(store, &complete);
    if (distrust.empty() && complete) distrust = DistrustPath(DataPath(store), FileKind::File, &exists);
    if (!distrust.empty()) {
        *what = "is not read: " + distrust;
        return false;
    }
    if (!exists) return true;
    *present = true;
    Fd fd(::open(DataPath(store).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0) {
        *what = std::string("cannot be read (") + std::strerror(errno) + ")";
        return false;
    }
    // What was opened is what was checked, unless its owner changed it in between.
    if (distrust = Distrust(DataPath(store), info, FileKind::File); !distrust.empty()) {
        *what = "is not read: " + distrust;
        return false;
    }
    if (static_cast<std::size_t>(info.st_size) > kMaxStoreBytes) {
        *what = "cannot be read (larger than 16 MiB)";
        return false;
    }
    char buffer[16384];
    while (true) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || text->size() + static_cast<std::size_t>(n) > kMaxStoreBytes) {
            *what = std::string("cannot be read (") + (n < 0 ? std::strerror(errno) : "larger than 16 MiB") + ")";
            return false;
        }
        text->append(buffer, static_cast<std::size_t>(n));
    }
}

// What was last read from each store, so that an unchanged file is not
// parsed again and a broken one is logged once.
struct CacheEntry {
    bool present = false;
    std::string text;
    Snapshot keys;
    DWORD error = ERROR_SUCCESS;
};
std::mutex g_cacheMutex;
std::map<std::string, CacheEntry> g_cache;

DWORD Parse(const StoreLocation& store, const std::string& text, bool present, Key* root, bool log) {
    std::string why;
    if (!present || ParseStore(text, store.rootPath, root, &why)) return ERROR_SUCCESS;
    if (log) Log(DataPath(store), "not a registry store (" + why + "); it is left as it is", ERROR_BADDB);
    return ERROR_BADDB;
}

DWORD WriteError(int error) {
    switch (error) {
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EROFS: return ERROR_WRITE_PROTECT;
    default: return ERROR_CANTWRITE;
    }
}

// Creates the folder and those above it that are missing.
bool MakeDirectories(const std::string& directory, unsigned mode) {
    for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        const std::string prefix = directory.substr(0, slash);
        if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

void Reached(CommitStep step) {
    if (auto hook = g_commitHook.load()) hook(step);
}

bool WriteAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Removes what writers killed while they changed the store left aside. The
// caller holds the writers' lock, so no writer is using one.
void RemoveStrayAsides(const StoreLocation& store) {
    DIR* folder = ::opendir(store.directory.c_str());
    if (folder == nullptr) return;
    while (const dirent* entry = ::readdir(folder)) {
        if (std::strncmp(entry->d_name, kAsidePrefix, std::strlen(kAsidePrefix)) == 0)
            ::unlinkat(::dirfd(folder), entry->d_name, 0);
    }
    ::closedir(folder);
}

// A new file of a name nobody used before, beside the store's file: never
// one that was there already, nor what a link there leads to.
int CreateAside(const StoreLocation& store, std::string* aside) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        *aside = store.directory + "/" + kAsidePrefix + "." + std::to_string(::getpid()) + "." +
                 std::to_string(g_asideCount++);
        const int fd = ::open(aside->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, store.fileMode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Replaces the store's file with text: aside, flushed, renamed, folder flushed.
DWORD Commit(const StoreLocation& store, const std::string& text) {
    const std::string path = DataPath(store);
    RemoveStrayAsides(store);
    std::string aside;
    Fd fd(CreateAside(store, &aside));
    const bool created = fd.Get() >= 0;
    bool ok = created && ::fchmod(fd.Get(), store.fileMode) == 0 && WriteAll(fd.Get(), text);
    if (ok) Reached(CommitStep::TextWritten);
    ok = ok && ::fsync(fd.Get()) == 0;
    if (ok) Reached(CommitStep::TextFlushed);
    ok = ok && ::close(fd.Release()) == 0 && ::rename(aside.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        if (created) ::unlink(aside.c_str());
        Log(path, std::string("cannot be replaced: ") + std::strerror(error), WriteError(error));
        return WriteError(error);
    }
    Reached(CommitStep::Renamed);
    Fd folder(::open(store.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() < 0 || ::fsync(folder.Get()) != 0) {
        // The new text is in place; only its survival of a power cut is in doubt.
        Log(store.directory, std::string("cannot be flushed: ") + std::strerror(errno), ERROR_CANTWRITE);
    }
    return ERROR_SUCCESS;
}

// How long a writer waits for another one's lock.
constexpr int kLockWaitMs = 5000;

// Takes an exclusive lock on fd, waiting at most waitMs for its holder to
// give it back: 0, or -1 with errno (EWOULDBLOCK when the wait ran out).
int LockWithin(int fd, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // a writer holds it for milliseconds
    }
}

// An exclusive lock on the store's lock file for the life of the object,
// taken only in a folder nobody else could have written.
class WriterLock {
public:
    explicit WriterLock(const StoreLocation& store) : m_fd(-1) {
        if (Located(store) && !MakeDirectories(store.directory, store.directoryMode)) {
            m_error = WriteError(errno);
            Log(store.directory, std::string("cannot be created: ") + std::strerror(errno), m_error);
            return;
        }
        bool complete = false;
        if (const std::string distrust = DistrustOfFolders(store, &complete); !distrust.empty() || !complete) {
            m_error = ERROR_BADDB;
            Log(DataPath(store), "is not changed: " + (distrust.empty() ? "its folder is gone" : distrust), m_error);
            return;
        }
        // Only the store's owner may open the lock: a lock that any reader of
        // the machine's store could take would let any user hold up root's
        // registration for ever. One opened before it was closed so is
        // waited for a bounded time.
        const std::string path = store.directory + "/classes.lock";
        Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        struct stat info {};
        if (fd.Get() >= 0 && ::fstat(fd.Get(), &info) == 0 && (info.st_mode & 077) != 0) ::fchmod(fd.Get(), 0600);
        if (fd.Get() < 0 || LockWithin(fd.Get(), kLockWaitMs) != 0) {
            m_error = WriteError(errno);
            Log(path,
                errno == ELOOP         ? "cannot be locked: it is a symbolic link; remove it"
                : errno == EWOULDBLOCK ? "cannot be locked: another process has held it for " +
                                             std::to_string(kLockWaitMs / 1000) + " s (fuser names it)"
                                       : std::string("cannot be locked: ") + std::strerror(errno),
                m_error);
            return;
        }
        m_fd = fd.Release();
    }
    ~WriterLock() {
        if (m_fd >= 0) ::close(m_fd);  // releases the lock
    }
    DWORD Error() const { return m_error; }

private:
    int m_fd;
    DWORD m_error = ERROR_SUCCESS;
};

}  // namespace

StoreLocation UserStore() {
    const std::string home = TrelvaneHome();
    return {home.empty() ? home : home + "/registry", "HKEY_CURRENT_USER\\Software\\Classes", 0600, 0700,
            TrelvaneHomeTop()};
}

StoreLocation MachineStore() {
    const char* directory = std::getenv("TRELVANE_MACHINE_REGISTRY");
    const std::string folder = directory && *directory ? directory : kDefaultMachineDirectory;
    return {folder, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes", 0644, 0755, folder};
}

DWORD ReadStore(const StoreLocation& store, Snapshot* keys) {
    const std::string path = DataPath(store);
    std::string text, what;
    bool present = false;
    if (!ReadText(store, &text, &present, &what)) {
        Log(path, what, ERROR_BADDB);
        return ERROR_BADDB;
    }
    std::lock_guard lock(g_cacheMutex);
    CacheEntry& entry = g_cache[path];
    if (!entry.keys || entry.present != present || entry.text != text) {
        auto root = std::make_shared<Key>();
        entry.error = Parse(store, text, present, root.get(), true);
        entry.present = present;
        entry.text = std::move(text);
        entry.keys = std::move(root);
    }
    if (entry.error == ERROR_SUCCESS) *keys = entry.keys;
    return entry.error;
}

DWORD ChangeStore(const StoreLocation& store, const std::function<DWORD(Key& root)>& edit) {
    WriterLock lock(store);
    if (lock.Error() != ERROR_SUCCESS) return lock.Error();
    const std::string path = DataPath(store);
    std::string text, what;
    bool present = false;
    if (!ReadText(store, &text, &present, &what)) {
        Log(path, what + "; it is left as it is", ERROR_BADDB);
        return ERROR_BADDB;
    }
    auto root = std::make_shared<Key>();
    if (DWORD error = Parse(store, text, present, root.get(), true); error != ERROR_SUCCESS) return error;
    if (DWORD error = edit(*root); error != ERROR_SUCCESS) return error;
    std::string changed = FormatStore(*root, store.rootPath);
    if (present && changed == text) return ERROR_SUCCESS;
    // A store that could not be read back is not written.
    if (changed.size() > kMaxStoreBytes) {
        Log(path, "the change is not written: the store would be larger than 16 MiB", ERROR_CANTWRITE);
        return ERROR_CANTWRITE;
    }
    if (DWORD error = Commit(store, changed); error != ERROR_SUCCESS) return error;
    std::lock_guard cacheLock(g_cacheMutex);
    g_cache[path] = CacheEntry{true, std::move(changed), std::move(root), ERROR_SUCCESS};
    return ERROR_SUCCESS;
}

void SetCommitHookForTesting(void (*hook)(CommitStep step)) { g_commitHook = hook; }

}  // namespace platform::registry
