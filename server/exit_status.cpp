#include "server/exit_status.h"

#include <cstdio>
#include <string>

#include "platform/windows.h"

namespace trelvane::server {
namespace {

// The platform's text for a code, without its line break; empty when the
// platform has none.
std::string TextOf(HRESULT hr) {
    WCHAR text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(hr), 0, text, 512, nullptr);
    while (length > 0 && (text[length - 1] == TEXT('\r') || text[length - 1] == TEXT('\n'))) --length;
    return platform::ToUtf8(platform::WString(text, length));
}

}  // namespace

int ExitStatus(int entryResult) {
    if (entryResult == -1) return 255;
    return SUCCEEDED(entryResult) ? 0 : 1;
}

void ReportEntryResult(int entryResult) {
    if (entryResult == -1) {
        platform::log::Error(platform::log::Channel::general, "the server could not start");
    } else if (FAILED(entryResult)) {
        const std::string text = TextOf(entryResult);
        platform::log::Error(platform::log::Channel::general, "failed: 0x%08X%s%s", static_cast<unsigned>(entryResult),
                             text.empty() ? "" : " ", text.c_str());
    }
}

}  // namespace trelvane::server
