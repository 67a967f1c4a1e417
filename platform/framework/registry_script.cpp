#include "platform/framework/registry_script.h"

#include <optional>

namespace platform {
namespace {

enum class TokenKind { Word, Quoted, Open, Close, Equals, End };

struct Token {
    TokenKind kind;
    WString text;
};

bool IsSpace(WCHAR c) { return c == TEXT(' ') || c == TEXT('\t') || c == TEXT('\r') || c == TEXT('\n'); }
bool EndsWord(WCHAR c) { return IsSpace(c) || c == TEXT('{') || c == TEXT('}') || c == TEXT('=') || c == TEXT('\''); }

class ScriptParser {
public:
    ScriptParser(WStringView text, const PlaceholderTable& placeholders) : m_text(text), m_placeholders(placeholders) {}

    bool Run(std::vector<ScriptKey>* keys, std::string* error) {
        const bool ok = Roots(keys);
        if (!ok) *error = "line " + std::to_string(m_line) + ": " + m_why;
        return ok;
    }

private:
    bool Fail(std::string why) {
        m_why = std::move(why);
        return false;
    }

    bool Next(Token* token) {
        if (m_peeked) {
            *token = std::move(*m_peeked);
            m_peeked.reset();
            return true;
        }
        while (m_position < m_text.size() && IsSpace(m_text[m_position]))
            if (m_text[m_position++] == TEXT('\n')) ++m_line;
        if (m_position == m_text.size()) {
            *token = {TokenKind::End, {}};
            return true;
        }
        const WCHAR c = m_text[m_position];
        if (c == TEXT('{') || c == TEXT('}') || c == TEXT('=')) {
            ++m_position;
            *token = {c == TEXT('{') ? TokenKind::Open : c == TEXT('}') ? TokenKind::Close : TokenKind::Equals, {}};
            return true;
        }
        if (c == TEXT('\'')) return QuotedText(token);
        const std::size_t start = m_position;
        while (m_position < m_text.size() && !EndsWord(m_text[m_position])) ++m_position;
        *token = {TokenKind::Word, WString(m_text.substr(start, m_position - start))};
        return true;
    }

    bool QuotedText(Token* token) {
        WString text;
        for (++m_position; m_position < m_text.size(); ++m_position) {
            const WCHAR c = m_text[m_position];
            if (c == TEXT('\n')) return Fail("a quoted text must end on its line");
            if (c != TEXT('\'')) {
                text += c;
            } else if (m_position + 1 < m_text.size() && m_text[m_position + 1] == TEXT('\'')) {
                text += TEXT('\'');
                ++m_position;
            } else {
                ++m_position;
                *token = {TokenKind::Quoted, std::move(text)};
                return true;
            }
        }
        return Fail("a quoted text has no closing quotation mark");
    }

    bool Peek(Token* token) {
        if (!m_peeked) {
            Token next;
            if (!Next(&next)) return false;
            m_peeked = std::move(next);
        }
        *token = *m_peeked;
        return true;
    }

    static bool Is(const Token& token, LPCWSTR keyword) {
        return token.kind == TokenKind::Word && lstrcmpiW(token.text.c_str(), keyword) == 0;
    }

    bool Expand(const WString& text, WString* out) {
        std::string problem;
        return SUCCEEDED(m_placeholders.Expand(text, out, &problem)) || Fail(problem);
    }

    bool Roots(std::vector<ScriptKey>* keys) {
        Token token;
        while (Next(&token) && token.kind != TokenKind::End) {
            if (!Is(token, TEXT("HKCR")) && !Is(token, TEXT("HKEY_CLASSES_ROOT")))
                return token.kind == TokenKind::Word
                           ? Fail("the root '" + ToUtf8(token.text) + "' is not supported (only HKCR)")
                           : Fail("a root key (HKCR) expected");
            if (!Next(&token) || token.kind != TokenKind::Open)
                return m_why.empty() ? Fail("'{' expected after the root") : false;
            if (!Block(nullptr, keys)) return false;
        }
        return m_why.empty();
    }

    // The items of a block up to its closing brace; owner is null at the root.
    bool Block(ScriptKey* owner, std::vector<ScriptKey>* keys) {
        Token token;
        while (Next(&token)) {
            if (token.kind == TokenKind::Close) return true;
            if (token.kind == TokenKind::End) return Fail("a '}' is missing");
            if (Is(token, TEXT("val"))) {
                if (owner == nullptr) return Fail("a named value must lie inside a key");
                if (!NamedValue(owner)) return false;
                continue;
            }
            if (Is(token, TEXT("ForceRemove")) || Is(token, TEXT("Delete")))
                return Fail("'" + ToUtf8(token.text) + "' is not supported");
            ScriptKey key;
            if (Is(token, TEXT("NoRemove"))) {
                key.noRemove = true;
                if (!Next(&token)) return false;
            }
            if (!KeyName(token, &key.name) || !KeyBody(&key)) return false;
            keys->push_back(std::move(key));
        }
        return false;
    }

    bool KeyName(const Token& token, WString* name) {
        if (token.kind != TokenKind::Word && token.kind != TokenKind::Quoted) return Fail("a key name expected");
        if (!Expand(token.text, name)) return false;
        if (name->empty() || name->find(TEXT('\\')) != WString::npos)
            return Fail("a key name must not be empty nor hold a backslash");
        return true;
    }

    bool KeyBody(ScriptKey* key) {
        Token token;
        if (!Peek(&token)) return false;
        if (token.kind == TokenKind::Equals) {
            Next(&token);
            if (!Data(&key->defaultValue)) return false;
            key->hasDefault = true;
            if (!Peek(&token)) return false;
        }
        if (token.kind != TokenKind::Open) return true;
        Next(&token);
        return Block(key, &key->subkeys);
    }

    bool NamedValue(ScriptKey* owner) {
        Token token;
        ScriptValue value;
        if (!Next(&token)) return false;
        if (token.kind != TokenKind::Word && token.kind != TokenKind::Quoted)
            return Fail("a value name expected after 'val'");
        if (!Expand(token.text, &value.name)) return false;
        if (!Next(&token) || token.kind != TokenKind::Equals)
            return m_why.empty() ? Fail("'=' expected after the value name") : false;
        if (!Data(&value.data)) return false;
        owner->values.push_back(std::move(value));
        return true;
    }

    // "s 'text'": the only value type understood.
    bool Data(WString* data) {
        Token token;
        if (!Next(&token)) return false;
        if (token.kind != TokenKind::Word) return Fail("a value type expected after '='");
        if (!Is(token, TEXT("s"))) return Fail("the value type '" + ToUtf8(token.text) + "' is not supported (only s)");
        if (!Next(&token)) return false;
        if (token.kind != TokenKind::Quoted) return Fail("a quoted text expected after 's'");
        return Expand(token.text, data);
    }

    WStringView m_text;
    const PlaceholderTable& m_placeholders;
    std::size_t m_position = 0;
    int m_line = 1;
    std::optional<Token> m_peeked;
    std::string m_why;
};

}  // namespace

bool ParseRegistryScript(WStringView text, const PlaceholderTable& placeholders, std::vector<ScriptKey>* keys,
                         std::string* error) {
    keys->clear();
    return ScriptParser(text, placeholders).Run(keys, error);
}

}  // namespace platform
