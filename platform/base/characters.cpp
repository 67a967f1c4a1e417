#include "platform/base/characters.h"

#include "platform/base/text_case.h"

LPWSTR CharUpperW(LPWSTR lpsz) {
    const auto bits = reinterpret_cast<UINT_PTR>(lpsz);
    if ((bits >> 16) == 0)
        return reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(platform::UpperCase(static_cast<WCHAR>(bits))));
    for (WCHAR* p = lpsz; *p; ++p) *p = platform::UpperCase(*p);
    return lpsz;
}

LPWSTR CharNextW(LPCWSTR lpsz) { return const_cast<LPWSTR>(*lpsz ? lpsz + 1 : lpsz); }
