// Class identifiers by ProgID, from the classes root of the registry.
#include <string>

#include "platform/objects/com_base.h"
#include "platform/registry/registry.h"

namespace {

constexpr int kMaxCurVerSteps = 4;  // a CurVer that names itself must not loop

// The default value of a key below the classes root as text.
LSTATUS ReadDefault(const std::u16string& path, std::u16string* text) {
    text->clear();
    HKEY key = nullptr;
    if (LSTATUS error = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key)) return error;
    WCHAR buffer[256] = {};
    DWORD size = sizeof buffer - sizeof(WCHAR), type = 0;
    const LSTATUS error = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (error == ERROR_SUCCESS) *text = type == REG_SZ ? std::u16string(buffer) : std::u16string();
    if (error == ERROR_MORE_DATA) return ERROR_SUCCESS;  // too long for any CLSID or ProgID: no match
    return error;
}

// Missing keys and names that cannot be keys mean "not registered"; any
// other error is the registry's own.
bool NotRegistered(LSTATUS error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_PARAMETER; }

}  // namespace

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
    if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
    *lpclsid = CLSID_NULL;
    std::u16string progId = lpszProgID, text;
    for (int step = 0; step < kMaxCurVerSteps && !progId.empty(); ++step) {
        LSTATUS error = ReadDefault(progId + u"\\CLSID", &text);
        if (error == ERROR_SUCCESS)
            return platform::GuidFromRegistryForm(text.c_str(), lpclsid) ? S_OK : CO_E_CLASSSTRING;
        if (!NotRegistered(error)) return REGDB_E_READREGDB;
        error = ReadDefault(progId + u"\\CurVer", &text);
        if (error != ERROR_SUCCESS) return NotRegistered(error) ? CO_E_CLASSSTRING : REGDB_E_READREGDB;
        progId = text;
    }
    return CO_E_CLASSSTRING;
}
