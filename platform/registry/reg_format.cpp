#include "platform/registry/reg_format.h"

#include <cstdio>
#include <cstring>

#include "platform/base/text_case.h"
#include "platform/base/utf8.h"

namespace platform::registry {
namespace {

constexpr DWORD kTypeSz = 1;
constexpr DWORD kTypeBinary = 3;
constexpr DWORD kTypeDword = 4;
constexpr std::size_t kHexLineWidth = 76;

std::u16string CharactersOf(const std::vector<BYTE>& data) {
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    return text;
}

std::vector<BYTE> BytesOf(const std::u16string& text) {
    std::vector<BYTE> data((text.size() + 1) * 2, 0);
    std::memcpy(data.data(), text.data(), text.size() * 2);
    return data;
}

// A REG_SZ goes out quoted only when reading the quoted form back gives the
// same bytes: one terminator at the end and nothing the text cannot carry.
bool QuotableString(const Value& value) {
    if (value.type != kTypeSz || value.data.size() < 2 || value.data.size() % 2 != 0) return false;
    const std::u16string text = CharactersOf(value.data);
    if (text.back() != 0) return false;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        const WCHAR c = text[i];
        if (c < 0x20 || c == 0x7F) return false;
        if (c >= 0xD800 && c < 0xDC00) {
            if (i + 2 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] >= 0xE000) return false;
            ++i;
        } else if (c >= 0xDC00 && c < 0xE000) {
            return false;
        }
    }
    return true;
}

std::string Quoted(const std::u16string& text) {
    std::string out = "\"";
    for (char c : ToUtf8(text)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

void AppendHex(const Value& value, std::string& line, std::string& out) {
    char prefix[24];
    if (value.type == kTypeBinary)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
    line += prefix;
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        if (line.size() + 3 > kHexLineWidth) {
            out += line + "\\\n";
            line = "  ";
        }
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", value.data[i]);
        line += byte;
        if (i + 1 < value.data.size()) line += ',';
    }
}

void FormatValue(const Value& value, std::string& out) {
    std::string line = value.name.empty() ? "@=" : Quoted(value.name) + "=";
    if (QuotableString(value)) {
        std::u16string text = CharactersOf(value.data);
        text.pop_back();
        line += Quoted(text);
    } else if (value.type == kTypeDword && value.data.size() == 4) {
        DWORD number;
        std::memcpy(&number, value.data.data(), 4);
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x", static_cast<unsigned>(number));
        line += digits;
    } else {
        AppendHex(value, line, out);
    }
    out += line + "\n";
}

void FormatKey(const Key& key, const std::string& path, std::string& out) {
    out += "[" + path + "]\n";
    for (const auto& [folded, value] : key.values) FormatValue(value, out);
    out += "\n";
    for (const auto& [folded, subkey] : key.subkeys) FormatKey(*subkey, path + "\\" + ToUtf8(subkey->name), out);
}

// Reading, one line at a time.
class Parser {
public:
    Parser(std::string_view text, std::string_view rootPath, Key* root)
        : m_text(text), m_rootPath(FromUtf8(std::string(rootPath))), m_root(root) {}

    bool Run(std::string* error) {
        if (m_text.substr(0, 3) == "\xEF\xBB\xBF") m_text.remove_prefix(3);
        bool sawHeader = false;
        std::string_view line;
        while (NextLine(&line)) {
            if (line.empty() || line.front() == ';') continue;
            bool ok;
            if (!sawHeader)
                ok = sawHeader = line == kFormatHeader;
            else if (line.front() == '[')
                ok = Section(line);
            else
                ok = ValueLine(line);
            if (!ok) {
                *error =
                    "line " + std::to_string(m_lineNumber) + ": " + (m_why.empty() ? "not a registry export" : m_why);
                return false;
            }
        }
        if (!sawHeader) *error = "no \"" + std::string(kFormatHeader) + "\" line";
        return sawHeader;
    }

private:
    static std::string_view Trim(std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
        return s;
    }

    bool NextLine(std::string_view* line) {
        if (m_position >= m_text.size()) return false;
        const std::size_t end = std::min(m_text.find('\n', m_position), m_text.size());
        *line = Trim(m_text.substr(m_position, end - m_position));
        m_position = end + 1;
        ++m_lineNumber;
        return true;
    }

    bool Fail(std::string why) {
        m_why = std::move(why);
        return false;
    }

    bool Section(std::string_view line) {
        if (line.back() != ']') return Fail("a key line must end with ']'");
        const std::u16string path = FromUtf8(std::string(line.substr(1, line.size() - 2)));
        const std::size_t rootLength = m_rootPath.size();
        if (path.size() < rootLength || !EqualNoCase(std::u16string_view(path).substr(0, rootLength), m_rootPath) ||
            (path.size() > rootLength && path[rootLength] != u'\\'))
            return Fail("the key lies outside " + ToUtf8(m_rootPath));
        Path names;
        if (path.size() > rootLength && !SplitPath(std::u16string_view(path).substr(rootLength + 1), &names))
            return Fail("a key name is empty, too long or holds a control character");
        m_current = m_root;
        for (const auto& name : names) m_current = &m_current->Ensure(name);
        return true;
    }

    // A quoted name or text at s[*at] == '"', with \\ and \" escaped.
    bool QuotedText(std::string_view s, std::size_t* at, std::u16string* out) {
        std::string text;
        for (std::size_t i = *at + 1; i < s.size(); ++i) {
            if (s[i] == '"') {
                *at = i + 1;
                *out = FromUtf8(text);
                return true;
            }
            if (s[i] == '\\') {
                if (++i == s.size() || (s[i] != '\\' && s[i] != '"')) return Fail("only \\\\ and \\\" may be escaped");
            }
            text += s[i];
        }
        return Fail("a quotation mark is missing");
    }

    bool ValueLine(std::string_view line) {
        if (m_current == nullptr) return Fail("a value before the first key");
        Value value;
        std::size_t at = 0;
        if (line.front() == '@') {
            at = 1;
        } else if (line.front() != '"' || !QuotedText(line, &at, &value.name)) {
            return m_why.empty() ? Fail("a value line must start with @ or a quoted name") : false;
        } else if (value.name.empty() || !ValidValueName(value.name)) {
            return Fail("a value name is empty, too long or holds a control character");
        }
        if (at >= line.size() || line[at] != '=') return Fail("'=' expected after the value name");
        if (!Data(line.substr(at + 1), &value)) return false;
        m_current->values[UpperCase(value.name)] = std::move(value);
        return true;
    }

    bool Data(std::string_view data, Value* value) {
        if (!data.empty() && data.front() == '"') {
            std::size_t at = 0;
            std::u16string text;
            if (!QuotedText(data, &at, &text)) return false;
            if (at != data.size()) return Fail("text after the closing quotation mark");
            value->type = kTypeSz;
            value->data = BytesOf(text);
            return true;
        }
        if (data.substr(0, 6) == "dword:") return Dword(data.substr(6), value);
        if (data.substr(0, 4) == "hex:") {
            value->type = kTypeBinary;
            return HexBytes(data.substr(4), value);
        }
        if (data.substr(0, 4) == "hex(") {
            const std::size_t close = data.find("):");
            unsigned long type = 0;
            if (close == std::string_view::npos || !HexNumber(data.substr(4, close - 4), 8, &type))
                return Fail("hex(type): expected");
            value->type = static_cast<DWORD>(type);
            return HexBytes(data.substr(close + 2), value);
        }
        return Fail("a value must be quoted text, dword: or hex:");
    }

    static bool HexNumber(std::string_view digits, std::size_t maxDigits, unsigned long* out) {
        if (digits.empty() || digits.size() > maxDigits) return false;
        *out = 0;
        for (char c : digits) {
            const int v = (c >= '0' && c <= '9')   ? c - '0'
                          : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                          : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                   : -1;
            if (v < 0) return false;
            *out = (*out << 4) | static_cast<unsigned long>(v);
        }
        return true;
    }

    bool Dword(std::string_view digits, Value* value) {
        unsigned long number = 0;
        if (!HexNumber(digits, 8, &number)) return Fail("dword: takes up to eight hex digits");
        const DWORD d = static_cast<DWORD>(number);
        value->type = kTypeDword;
        value->data.resize(4);
        std::memcpy(value->data.data(), &d, 4);
        return true;
    }

    // Comma-separated bytes; a line ending in a backslash continues.
    bool HexBytes(std::string_view first, Value* value) {
        std::string joined(first);
        std::string_view next;
        while (!joined.empty() && joined.back() == '\\') {
            joined.pop_back();
            if (!NextLine(&next)) return Fail("hex data continues past the end");
            joined += next;
        }
        std::string_view rest = Trim(joined);
        if (rest.empty()) return true;
        if (rest.back() == ',') return Fail("hex data ends with a comma");
        while (true) {
            const std::size_t comma = rest.find(',');
            unsigned long byte = 0;
            if (!HexNumber(Trim(rest.substr(0, comma)), 2, &byte)) return Fail("hex bytes are two hex digits each");
            value->data.push_back(static_cast<BYTE>(byte));
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
        return true;
    }

    std::string_view m_text;
    std::u16string m_rootPath;
    Key* m_root;
    Key* m_current = nullptr;
    std::size_t m_position = 0;
    std::size_t m_lineNumber = 0;
    std::string m_why;
};

}  // namespace

std::string FormatStore(const Key& root, std::string_view rootPath) {
    std::string out = std::string(kFormatHeader) + "\n\n";
    FormatKey(root, std::string(rootPath), out);
    return out;
}

bool ParseStore(std::string_view text, std::string_view rootPath, Key* root, std::string* error) {
    return Parser(text, rootPath, root).Run(error);
}

}  // namespace platform::registry
