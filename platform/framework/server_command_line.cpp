#include "platform/framework/server_command_line.h"

namespace {

WCHAR Upper(WCHAR c) {
    const auto single = reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(c));
    return static_cast<WCHAR>(reinterpret_cast<UINT_PTR>(CharUpperW(single)));
}

// The first character after the next "-" or "/" from p on, or null when no
// delimiter is left.
LPCWSTR NextToken(LPCWSTR p) {
    for (; *p; p = CharNextW(p))
        if (*p == TEXT('-') || *p == TEXT('/')) return CharNextW(p);
    return nullptr;
}

// Whether the token is the word: equal without regard to case, and ending
// where the word ends.
bool TokenIs(LPCWSTR token, LPCWSTR word) {
    for (; *word; token = CharNextW(token), word = CharNextW(word))
        if (*token == 0 || Upper(*token) != Upper(*word)) return false;
    return *token == 0 || *token == TEXT(' ') || *token == TEXT('\t');
}

}  // namespace

CommandLineOutcome HandleCommandLine(LPCWSTR commandLine, HRESULT (*registerServer)(), HRESULT (*unregisterServer)()) {
    for (LPCWSTR token = commandLine ? NextToken(commandLine) : nullptr; token; token = NextToken(token)) {
        if (TokenIs(token, TEXT("UnregServer"))) return {false, unregisterServer()};
        if (TokenIs(token, TEXT("RegServer"))) return {false, registerServer()};
    }
    return {true, S_OK};
}
