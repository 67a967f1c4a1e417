// The placeholders of registry scripts and registration data: a table of
// (name, value) pairs and the expansion of "%NAME%" in a text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/framework/system.h"

namespace platform {

class PlaceholderTable {
public:
    // Copies both; either missing gives E_INVALIDARG, a failed copy E_OUTOFMEMORY.
    HRESULT Add(LPCOLESTR name, LPCOLESTR value);
    void Clear();
    std::size_t Count() const { return m_names.size(); }
    // The value of the first pair with that name in any case, or null.
    LPCOLESTR Find(WStringView name) const;

    // Copies text, replacing "%%" by "%" and "%NAME%" by the value of NAME.
    // E_FAIL for a name without its closing "%", a name of 32 characters or
    // more, or one not in the table; *problem then says which.
    HRESULT Expand(WStringView text, WString* out, std::string* problem = nullptr) const;

private:
    std::vector<WString> m_names;
    std::vector<WString> m_values;
};

}  // namespace platform
