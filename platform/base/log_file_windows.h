// Where the log goes on Windows when the process has no standard error, as
// a server that the object runtime starts has none: a file of the user's,
// %LOCALAPPDATA%\Trelvane\trelvane.log. Each line carries its time (UTC).
// At the limit the file is set aside as trelvane.log.1, replacing the one
// set aside before, and a new one begins: the two hold at most about twice
// the limit. Servers of one user that overlap (one ending as the next
// starts) append to the same file.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::log {

inline constexpr std::uint64_t kLogFileLimit = 1 << 20;

class LogFile {
public:
    explicit LogFile(std::wstring path, std::uint64_t limit = kLogFileLimit);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Appends the line (which ends with its line end) after its time; false
    // when the file could not be opened or written.
    bool Write(std::string_view line);

private:
    bool Open();
    void Close();
    std::uint64_t Size() const;

    std::wstring m_path;
    std::uint64_t m_limit;
    void* m_file;  // a HANDLE, or INVALID_HANDLE_VALUE while not open
};

// %LOCALAPPDATA%\Trelvane\trelvane.log, its folder made; empty when the
// folder is not known or cannot be made.
std::wstring UserLogPath();

// Whether the process has a standard error to write to.
bool HasStandardError();

}  // namespace platform::log
