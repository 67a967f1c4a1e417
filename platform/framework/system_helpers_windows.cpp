#include "platform/framework/system_helpers_windows.h"

#include "platform/base/utf8.h"

namespace platform {

WString ThisExecutablePath() {
    // The name is cut short, without an error, when the buffer is too small.
    WString path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768) {  // the longest path the system has
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return {};
        }
        path.resize(path.size() * 2);
    }
}

bool IsThisExecutable(LPCWSTR path) {
    if (path == nullptr) return false;
    const WString own = ThisExecutablePath();
    return !own.empty() && EqualNoCase(path, own);
}

bool EqualNoCase(WStringView a, WStringView b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return EqualNoCase(WStringView(FromUtf8(std::string(a))), FromUtf8(std::string(b)));
}

bool RunBehindOtherThreads(log::Channel channel, const char* what) {
    if (SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST)) return true;
    log::Trace(channel, "%s keeps its priority: error %lu", what, static_cast<unsigned long>(GetLastError()));
    return false;
}

}  // namespace platform

std::string SystemMessageText(DWORD code) {
    WCHAR text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, 512, nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) --length;
    return length > 0 ? platform::ToUtf8(platform::WString(text, length)) : "Error " + std::to_string(code);
}
