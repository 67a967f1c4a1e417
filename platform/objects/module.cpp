#include "platform/objects/module.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/base/errno_map.h"
#include "platform/base/utf8.h"

namespace {

// The executable's path, or empty with the last error set.
std::string ExecutablePath() {
    std::string path(256, '\0');
    while (true) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) {
            SetLastError(platform::ErrnoToError(errno));
            return {};
        }
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The low word names the kind of program, as the platform's "PE" and "MZ" do.
constexpr DWORD_PTR kElfProgram = 0x4C45;
constexpr DWORD_PTR kScript = 0x2123;

bool IsRunningProgram(const std::string& path) {
    struct stat file {
    }, self{};
    return ::stat(path.c_str(), &file) == 0 && ::stat("/proc/self/exe", &self) == 0 && file.st_dev == self.st_dev &&
           file.st_ino == self.st_ino;
}

DWORD_PTR ExecutableType(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !(info.st_mode & 0111)) return 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // A program installed execute-only (mode 0711) cannot be read by
        // ordinary users; one the caller may run is a program all the same,
        // and so is the one running.
        const bool runnable = errno == EACCES && (::access(path.c_str(), X_OK) == 0 || IsRunningProgram(path));
        return runnable ? kElfProgram : 0;
    }
    unsigned char head[18] = {};
    const ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    if (n >= 2 && head[0] == '#' && head[1] == '!') return kScript;
    if (n < 18 || std::memcmp(head,
                              "\x7F"
                              "ELF",
                              4) != 0)
        return 0;
    const unsigned type = head[5] == 2 ? (head[16] << 8 | head[17]) : (head[17] << 8 | head[16]);
    return type == 2 /* ET_EXEC */ || type == 3 /* ET_DYN, position-independent programs */ ? kElfProgram : 0;
}

}  // namespace

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (hModule != nullptr && hModule != GetModuleHandleW(nullptr)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const std::string utf8 = ExecutablePath();
    if (utf8.empty()) return 0;
    const std::u16string path = platform::FromUtf8(utf8);
    if (lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const bool cut = path.size() >= nSize;
    const std::size_t length = cut ? nSize - 1 : path.size();
    std::memcpy(lpFilename, path.data(), length * sizeof(WCHAR));
    lpFilename[length] = 0;
    if (!cut) return static_cast<DWORD>(length);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

DWORD_PTR SHGetFileInfoW(LPCWSTR pszPath, DWORD, SHFILEINFOW*, UINT, UINT uFlags) {
    if (pszPath == nullptr || uFlags != SHGFI_EXETYPE) return 0;
    // The running program is read through its own image: a process that has
    // dropped to another user may no longer enter the folders leading to it.
    const std::string path = platform::ToUtf8(pszPath);
    return ExecutableType(!path.empty() && path == ExecutablePath() ? "/proc/self/exe" : path);
}

namespace platform {

bool IsThisExecutable(LPCWSTR path) {
    if (path == nullptr) return false;
    // Its own path names it even where its user may not enter the folders
    // leading to it (a process that has dropped to another user).
    const std::string utf8 = ToUtf8(path);
    return (!utf8.empty() && utf8 == ExecutablePath()) || IsRunningProgram(utf8);
}

}  // namespace platform
