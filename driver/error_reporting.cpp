// SystemError texts: "'text': the platform's message" or the text alone, at
// most 199 characters, raised to the clients; DriverFailure after it when
// the operation must end.
#include <cstdio>
#include <new>
#include <string>

#include "driver/tarvik.h"

namespace trelvane {
namespace {

// The platform's message for code, as FormatMessageW gives it (line end
// included), or a plain description when it has none.
platform::WString SystemMessage(DWORD code) {
    LPWSTR text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                                        LOCALE_USER_DEFAULT, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (length == 0) {
        char fallback[48];
        std::snprintf(fallback, sizeof fallback, "Unknown error %u (0x%08X).\r\n", static_cast<unsigned>(code),
                      static_cast<unsigned>(code));
        return platform::WString(fallback, fallback + std::char_traits<char>::length(fallback));
    }
    platform::WString message(text, length);
    LocalFree(text);
    return message;
}

}  // namespace

void CTarvik::ReportText(platform::WString message) {
    if (message.size() > kLongestMessage) {
        std::size_t cut = kLongestMessage;
        if (message[cut - 1] >= 0xD800 && message[cut - 1] < 0xDC00) --cut;  // never half a character
        message.resize(cut);
    }
    const platform::Bstr event(message);
    if (!event) throw std::bad_alloc();
    Fire_SystemError(event.Get());
}

void CTarvik::ReportError(const platform::WString& text, DWORD code) {
    ReportText(TEXT("'") + text + TEXT("': ") + SystemMessage(code));
}

void CTarvik::FailWithError(const platform::WString& text, DWORD code) {
    ReportError(text, code);
    throw DriverFailure{code};
}

}  // namespace trelvane
