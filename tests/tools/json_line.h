// Reads one line of the simulator's --json output: a flat object whose values
// are strings, numbers, booleans, null or arrays of numbers. Anything else,
// or a line that is not such an object, reads as empty.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace trelvane::testing {

using JsonValue = std::variant<std::nullptr_t, bool, double, std::string, std::vector<double>>;
using JsonObject = std::map<std::string, JsonValue>;

class JsonLineReader {
public:
    explicit JsonLineReader(const std::string& text) : m_s(text) {}

    std::optional<JsonObject> Object() {
        JsonObject object;
        if (!Take('{')) return std::nullopt;
        if (Take('}')) return End(object);
        do {
            auto key = String();
            if (!key || !Take(':')) return std::nullopt;
            auto value = Value();
            if (!value) return std::nullopt;
            object[*key] = *value;
        } while (Take(','));
        if (!Take('}')) return std::nullopt;
        return End(object);
    }

private:
    std::optional<JsonObject> End(const JsonObject& object) {
        Space();
        return m_i == m_s.size() ? std::optional<JsonObject>(object) : std::nullopt;
    }
    void Space() {
        while (m_i < m_s.size() && std::isspace(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
    }
    bool Take(char c) {
        Space();
        if (m_i < m_s.size() && m_s[m_i] == c) return ++m_i, true;
        return false;
    }
    bool Word(const char* word) {
        Space();
        const std::string w(word);
        if (m_s.compare(m_i, w.size(), w) != 0) return false;
        m_i += w.size();
        return true;
    }
    std::optional<std::string> String() {
        if (!Take('"')) return std::nullopt;
        std::string out;
        while (m_i < m_s.size() && m_s[m_i] != '"') {
            char c = m_s[m_i++];
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_i >= m_s.size()) return std::nullopt;
            c = m_s[m_i++];
            switch (c) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case '"':
            case '\\':
            case '/': out += c; break;
            case 'u': {
                if (m_i + 4 > m_s.size()) return std::nullopt;
                const long code = std::strtol(m_s.substr(m_i, 4).c_str(), nullptr, 16);
                m_i += 4;
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
                break;
            }
            default: return std::nullopt;
            }
        }
        if (!Take('"')) return std::nullopt;
        return out;
    }
    std::optional<double> Number() {
        Space();
        const char* start = m_s.c_str() + m_i;
        char* end = nullptr;
        const double value = std::strtod(start, &end);
        if (end == start) return std::nullopt;
        m_i += static_cast<std::size_t>(end - start);
        return value;
    }
    std::optional<JsonValue> Value() {
        Space();
        if (m_i >= m_s.size()) return std::nullopt;
        if (m_s[m_i] == '"') {
            auto s = String();
            return s ? std::optional<JsonValue>(*s) : std::nullopt;
        }
        if (Word("true")) return JsonValue(true);
        if (Word("false")) return JsonValue(false);
        if (Word("null")) return JsonValue(nullptr);
        if (Take('[')) {
            std::vector<double> list;
            if (Take(']')) return JsonValue(list);
            do {
                auto n = Number();
                if (!n) return std::nullopt;
                list.push_back(*n);
            } while (Take(','));
            if (!Take(']')) return std::nullopt;
            return JsonValue(list);
        }
        auto n = Number();
        return n ? std::optional<JsonValue>(*n) : std::nullopt;
    }

    const std::string& m_s;
    std::size_t m_i = 0;
};

inline std::optional<JsonObject> ParseJsonLine(const std::string& line) { return JsonLineReader(line).Object(); }

}  // namespace trelvane::testing
