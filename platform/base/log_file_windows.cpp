#include "platform/base/log_file_windows.h"

#include <windows.h>
// After windows.h, which they need.
#include <knownfolders.h>
#include <shlobj.h>

#include <cstdio>
#include <utility>

namespace platform::log {

LogFile::LogFile(std::wstring path, std::uint64_t limit)
    : m_path(std::move(path)), m_limit(limit), m_file(INVALID_HANDLE_VALUE) {}

LogFile::~LogFile() {
    if (m_file != INVALID_HANDLE_VALUE) Close();
}

bool LogFile::Open() {
    // Appends only, and lets other servers of the user append, read and set
    // the file aside while it is open.
    m_file = CreateFileW(m_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return m_file != INVALID_HANDLE_VALUE;
}

std::uint64_t LogFile::Size() const {
    LARGE_INTEGER size;
    return GetFileSizeEx(static_cast<HANDLE>(m_file), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

void LogFile::Close() {
    CloseHandle(static_cast<HANDLE>(m_file));
    m_file = INVALID_HANDLE_VALUE;
}

bool LogFile::Write(std::string_view line) {
    if (m_file == INVALID_HANDLE_VALUE && !Open()) return false;
    if (Size() >= m_limit) {
        // Another server of the user may have set this file aside already
        // and begun a new one, which is then the one at the path: only a
        // full file there is set aside.
        Close();
        if (!Open()) return false;
        if (Size() >= m_limit) {
            Close();
            MoveFileExW(m_path.c_str(), (m_path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
            if (!Open()) return false;
        }
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    char stamp[32];
    const int length = std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02uT%02u:%02u:%02uZ ", now.wYear, now.wMonth,
                                     now.wDay, now.wHour, now.wMinute, now.wSecond);
    // One write: lines of several servers do not mix.
    std::string text(stamp, static_cast<std::size_t>(length));
    text += line;
    DWORD written = 0;
    return WriteFile(static_cast<HANDLE>(m_file), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::wstring UserLogPath() {
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &folder))) {
        path = std::wstring(folder) + L"\\Trelvane";
        if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            path.clear();
        else
            path += L"\\trelvane.log";
    }
    CoTaskMemFree(folder);
    return path;
}

bool HasStandardError() {
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

}  // namespace platform::log
