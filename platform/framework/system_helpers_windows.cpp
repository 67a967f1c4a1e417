#include "platform/framework/system_helpers_windows.h"

#include "platform/base/utf8.h"

namespace platform {

bool IsThisExecutable(LPCWSTR path) {
    if (path == nullptr) return false;
    WCHAR own[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return false;
    // Names of files are compared without regard to case on Windows.
    return CompareStringOrdinal(path, -1, own, static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

}  // namespace platform

std::string SystemMessageText(DWORD code) {
    WCHAR text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, 512, nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) --length;
    return length > 0 ? platform::ToUtf8(platform::WString(text, length)) : "Error " + std::to_string(code);
}
