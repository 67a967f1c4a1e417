#include <cstdlib>
#include <cstring>

#include "platform/objects/oleauto.h"

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (ui > (0x7FFFFFFFu - sizeof(DWORD) - sizeof(OLECHAR)) / sizeof(OLECHAR)) return nullptr;
    auto* block = static_cast<BYTE*>(std::malloc(sizeof(DWORD) + (ui + 1) * sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const DWORD bytes = ui * sizeof(OLECHAR);
    std::memcpy(block, &bytes, sizeof bytes);
    auto* text = reinterpret_cast<BSTR>(block + sizeof(DWORD));
    if (strIn)
        std::memcpy(text, strIn, bytes);
    else
        std::memset(text, 0, bytes);
    text[ui] = 0;
    return text;
}

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) return nullptr;
    UINT length = 0;
    while (psz[length]) ++length;
    return SysAllocStringLen(psz, length);
}

void SysFreeString(BSTR bstrString) {
    if (bstrString) std::free(reinterpret_cast<BYTE*>(bstrString) - sizeof(DWORD));
}

UINT SysStringByteLen(BSTR bstr) {
    if (bstr == nullptr) return 0;
    DWORD bytes;
    std::memcpy(&bytes, reinterpret_cast<BYTE*>(bstr) - sizeof(DWORD), sizeof bytes);
    return bytes;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }
