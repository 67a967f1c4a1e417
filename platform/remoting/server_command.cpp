#include "platform/remoting/server_command.h"

#include "platform/base/utf8.h"
#include "platform/registry/registry.h"

namespace platform::remoting {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

HRESULT ReadLocalServerCommand(REFCLSID clsid, std::u16string* command) {
    command->clear();
    WCHAR clsidText[CHARS_IN_GUID];
    StringFromGUID2(clsid, clsidText, CHARS_IN_GUID);
    const std::u16string path = u"CLSID\\" + std::u16string(clsidText) + u"\\LocalServer32";
    HKEY key = nullptr;
    LSTATUS error = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (error == ERROR_SUCCESS) {
        DWORD type = 0, size = 0;
        error = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size);
        if (error == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
            std::u16string text(size / sizeof(WCHAR) + 1, u'\0');
            size = static_cast<DWORD>(text.size() * sizeof(WCHAR));
            error = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
            text.resize(std::char_traits<char16_t>::length(text.c_str()));
            if (error == ERROR_SUCCESS) *command = std::move(text);
        }
        RegCloseKey(key);
    }
    if (error == ERROR_SUCCESS) return command->empty() ? REGDB_E_CLASSNOTREG : S_OK;
    return error == ERROR_FILE_NOT_FOUND ? REGDB_E_CLASSNOTREG : REGDB_E_READREGDB;
}

std::vector<std::string> SplitCommandLine(const std::u16string& command) {
    std::vector<std::string> words;
    std::size_t i = 0;
    const std::size_t n = command.size();
    while (i < n && IsBlank(command[i])) ++i;
    if (i == n) return words;
    // The program runs to the closing quotation mark, or unquoted to the
    // first blank; its backslashes are path separators, never escapes.
    const bool quotedProgram = command[i] == u'"';
    const std::size_t programStart = i + (quotedProgram ? 1 : 0);
    std::size_t programEnd = programStart;
    while (programEnd < n && (quotedProgram ? command[programEnd] != u'"' : !IsBlank(command[programEnd]))) ++programEnd;
    words.push_back(ToUtf8(command.substr(programStart, programEnd - programStart)));
    i = programEnd + (quotedProgram && programEnd < n ? 1 : 0);
    for (;;) {
        while (i < n && IsBlank(command[i])) ++i;
        if (i == n) break;
        std::u16string word;
        bool quoted = false;
        while (i < n && (quoted || !IsBlank(command[i]))) {
            std::size_t backslashes = 0;
            while (i < n && command[i] == u'\\') ++backslashes, ++i;
            if (i < n && command[i] == u'"') {
                word.append(backslashes / 2, u'\\');
                if (backslashes % 2 == 1) {
                    word += u'"';
                } else if (quoted && i + 1 < n && command[i + 1] == u'"') {
                    word += u'"';
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                word.append(backslashes, u'\\');
                if (i < n && (quoted || !IsBlank(command[i]))) word += command[i++];
            }
        }
        words.push_back(ToUtf8(word));
    }
    return words;
}

}  // namespace platform::remoting
