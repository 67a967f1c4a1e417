// GUID strings, task memory and the reference count of objects.
#include <cstdio>
#include <cstdlib>

#include "platform/objects/com_base.h"

namespace {

int HexValue(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Reads count hex digits at s; false on anything else.
bool ReadHex(LPCOLESTR s, int count, std::uint64_t* value) {
    *value = 0;
    for (int i = 0; i < count; ++i) {
        const int v = HexValue(s[i]);
        if (v < 0) return false;
        *value = (*value << 4) | static_cast<unsigned>(v);
    }
    return true;
}

bool ParseBraced(LPCOLESTR s, GUID* out) {
    std::size_t length = 0;
    while (length < 40 && s[length]) ++length;
    if (length != 38 || s[0] != u'{' || s[9] != u'-' || s[14] != u'-' || s[19] != u'-' || s[24] != u'-' ||
        s[37] != u'}')
        return false;
    std::uint64_t v;
    GUID g{};
    if (!ReadHex(s + 1, 8, &v)) return false;
    g.Data1 = static_cast<DWORD>(v);
    if (!ReadHex(s + 10, 4, &v)) return false;
    g.Data2 = static_cast<WORD>(v);
    if (!ReadHex(s + 15, 4, &v)) return false;
    g.Data3 = static_cast<WORD>(v);
    for (std::size_t i = 0; i < 2; ++i) {
        if (!ReadHex(s + 20 + 2 * i, 2, &v)) return false;
        g.Data4[i] = static_cast<BYTE>(v);
    }
    for (std::size_t i = 0; i < 6; ++i) {
        if (!ReadHex(s + 25 + 2 * i, 2, &v)) return false;
        g.Data4[2 + i] = static_cast<BYTE>(v);
    }
    *out = g;
    return true;
}

}  // namespace

namespace platform {
bool GuidFromRegistryForm(LPCOLESTR text, GUID* guid) { return text != nullptr && ParseBraced(text, guid); }
}  // namespace platform

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (lpsz == nullptr || cchMax < CHARS_IN_GUID) return 0;
    char text[CHARS_IN_GUID];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(rguid.Data1), rguid.Data2, rguid.Data3, rguid.Data4[0], rguid.Data4[1],
                  rguid.Data4[2], rguid.Data4[3], rguid.Data4[4], rguid.Data4[5], rguid.Data4[6], rguid.Data4[7]);
    for (int i = 0; i < CHARS_IN_GUID; ++i) lpsz[i] = static_cast<unsigned char>(text[i]);
    return CHARS_IN_GUID;
}

LPVOID CoTaskMemAlloc(std::size_t cb) { return std::malloc(cb ? cb : 1); }

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    if (lplpsz == nullptr) return E_INVALIDARG;
    *lplpsz = static_cast<LPOLESTR>(CoTaskMemAlloc(CHARS_IN_GUID * sizeof(WCHAR)));
    if (*lplpsz == nullptr) return E_OUTOFMEMORY;
    StringFromGUID2(rclsid, *lplpsz, CHARS_IN_GUID);
    return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) {
    if (pclsid == nullptr) return E_INVALIDARG;
    *pclsid = CLSID_NULL;
    if (lpsz == nullptr || ParseBraced(lpsz, pclsid)) return S_OK;
    const HRESULT hr = CLSIDFromProgID(lpsz, pclsid);
    return SUCCEEDED(hr) || hr == REGDB_E_READREGDB ? hr : CO_E_CLASSSTRING;
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
    if (lpiid == nullptr) return E_INVALIDARG;
    if (lpsz == nullptr) {
        *lpiid = IID_NULL;
        return S_OK;
    }
    std::size_t length = 0;
    while (length < 40 && lpsz[length]) ++length;
    if (length != 38) return E_INVALIDARG;
    return ParseBraced(lpsz, lpiid) ? S_OK : CO_E_IIDSTRING;
}
