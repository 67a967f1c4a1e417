#include "platform/framework/placeholders.h"

#include <new>

#include "platform/base/text_case.h"
#include "platform/base/utf8.h"

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

LPCOLESTR PlaceholderTable::Find(std::u16string_view name) const {
    const std::u16string key(name);
    for (std::size_t i = 0; i < m_names.size(); ++i)
        if (lstrcmpiW(m_names[i].c_str(), key.c_str()) == 0) return m_values[i].c_str();
    return nullptr;
}

HRESULT PlaceholderTable::Expand(std::u16string_view text, std::u16string* out, std::string* problem) const {
    out->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'%') {
            *out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == u'%') {
            *out += u'%';
            ++i;
            continue;
        }
        const std::size_t close = text.find(u'%', i + 1);
        const std::u16string_view name = text.substr(i + 1, close == std::u16string_view::npos ? close : close - i - 1);
        const LPCOLESTR value =
            close == std::u16string_view::npos || name.size() > kMaxNameLength ? nullptr : Find(name);
        if (value == nullptr) {
            if (problem)
                *problem = close == std::u16string_view::npos ? "a '%' without its closing '%'"
                           : name.size() > kMaxNameLength
                               ? "the placeholder name '" + ToUtf8(std::u16string(name)) + "' is too long"
                               : "no placeholder '" + ToUtf8(std::u16string(name)) + "'";
            return E_FAIL;
        }
        *out += value;
        i = close;
    }
    return S_OK;
}

}  // namespace platform
