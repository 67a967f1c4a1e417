#include "platform/remoting/server_command.h"

#include <cstdlib>

#include "platform/base/utf8.h"
#include "platform/registry/registry.h"

namespace platform::remoting {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::size_t SkipBlanks(const std::u16string& line, std::size_t i) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    return i;
}

// The program runs to the closing quotation mark, or unquoted to the first
// blank; its backslashes are path separators, never escapes.
std::u16string ReadProgram(const std::u16string& line, std::size_t* i) {
    const bool quoted = line[*i] == u'"';
    const std::size_t start = *i + (quoted ? 1 : 0);
    std::size_t end = start;
    while (end < line.size() && (quoted ? line[end] != u'"' : !IsBlank(line[end]))) ++end;
    *i = end + (quoted && end < line.size() ? 1 : 0);
    return line.substr(start, end - start);
}

// One argument from *i on, up to a blank outside quotation marks.
std::u16string ReadArgument(const std::u16string& line, std::size_t* i) {
    const std::size_t n = line.size();
    std::u16string word;
    bool quoted = false;
    while (*i < n && (quoted || !IsBlank(line[*i]))) {
        std::size_t backslashes = 0;
        while (*i < n && line[*i] == u'\\') ++backslashes, ++*i;
        if (*i == n || line[*i] != u'"') {
            word.append(backslashes, u'\\');
            if (*i < n && (quoted || !IsBlank(line[*i]))) word += line[(*i)++];
            continue;
        }
        word.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
            word += u'"';  // an escaped mark
        } else if (quoted && *i + 1 < n && line[*i + 1] == u'"') {
            word += u'"';  // a doubled mark inside quotes
            ++*i;
        } else {
            quoted = !quoted;
        }
        ++*i;
    }
    return word;
}

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
            if (error == ERROR_SUCCESS) *command = type == REG_EXPAND_SZ ? ExpandEnvironmentReferences(text) : text;
        }
        RegCloseKey(key);
    }
    if (error == ERROR_SUCCESS) return command->empty() ? REGDB_E_CLASSNOTREG : S_OK;
    return error == ERROR_FILE_NOT_FOUND ? REGDB_E_CLASSNOTREG : REGDB_E_READREGDB;
}

std::u16string ExpandEnvironmentReferences(const std::u16string& text) {
    std::u16string expanded;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t open = text.find(u'%', i);
        const std::size_t close = open == std::u16string::npos ? open : text.find(u'%', open + 1);
        if (close == std::u16string::npos) break;
        expanded.append(text, i, open - i);
        const std::u16string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(ToUtf8(name).c_str());
        expanded += value ? FromUtf8(value) : text.substr(open, close - open + 1);
        i = close + 1;
    }
    expanded.append(text, i);
    return expanded;
}

std::vector<std::string> SplitCommandLine(const std::u16string& command) {
    std::vector<std::string> words;
    std::size_t i = SkipBlanks(command, 0);
    if (i == command.size()) return words;
    words.push_back(ToUtf8(ReadProgram(command, &i)));
    for (i = SkipBlanks(command, i); i < command.size(); i = SkipBlanks(command, i))
        words.push_back(ToUtf8(ReadArgument(command, &i)));
    return words;
}

}  // namespace platform::remoting
