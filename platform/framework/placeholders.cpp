#include "platform/framework/placeholders.h"

#include <new>

namespace platform {
namespace {
constexpr std::size_t kMaxNameLength = 31;
}

HRESULT PlaceholderTable::Add(LPCOLESTR name, LPCOLESTR value) {
    if (name == nullptr || value == nullptr) return E_INVALIDARG;
    try {
        m_names.emplace_back(name);
        m_values.emplace_back(value);
    } catch (const std::bad_alloc&) {
        if (m_names.size() > m_values.size()) m_names.pop_back();  // the lists stay parallel
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void PlaceholderTable::Clear() {
    m_names.clear();
    m_values.clear();
}

LPCOLESTR PlaceholderTable::Find(WStringView name) const {
    const WString key(name);
    for (std::size_t i = 0; i < m_names.size(); ++i)
        if (lstrcmpiW(m_names[i].c_str(), key.c_str()) == 0) return m_values[i].c_str();
    return nullptr;
}

HRESULT PlaceholderTable::Expand(WStringView text, WString* out, std::string* problem) const {
    out->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != TEXT('%')) {
            *out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == TEXT('%')) {
            *out += TEXT('%');
            ++i;
            continue;
        }
        const std::size_t close = text.find(TEXT('%'), i + 1);
        const WStringView name = text.substr(i + 1, close == WStringView::npos ? close : close - i - 1);
        const LPCOLESTR value = close == WStringView::npos || name.size() > kMaxNameLength ? nullptr : Find(name);
        if (value == nullptr) {
            if (problem)
                *problem = close == WStringView::npos ? "a '%' without its closing '%'"
                           : name.size() > kMaxNameLength
                               ? "the placeholder name '" + ToUtf8(WString(name)) + "' is too long"
                               : "no placeholder '" + ToUtf8(WString(name)) + "'";
            return E_FAIL;
        }
        *out += value;
        i = close;
    }
    return S_OK;
}

}  // namespace platform
