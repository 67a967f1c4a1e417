#include "platform/objects/resources.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/text_case.h"

namespace {

// Resources are declared during static initialisation, so the table is made
// on first use.
struct Table {
    std::mutex mutex;
    std::vector<platform::ExecutableResource*> entries;
};
Table& Resources() {
    static Table table;
    return table;
}

// A number: MAKEINTRESOURCEW or "#n"; else -1.
long NumberOf(LPCWSTR name) {
    if (IS_INTRESOURCE(name)) return static_cast<long>(reinterpret_cast<ULONG_PTR>(name));
    if (name[0] != u'#' || name[1] == 0) return -1;
    long value = 0;
    for (LPCWSTR p = name + 1; *p; ++p) {
        if (*p < u'0' || *p > u'9' || value > 0xFFFF) return -1;
        value = value * 10 + (*p - u'0');
    }
    return value <= 0xFFFF ? value : -1;
}

bool SameName(LPCWSTR a, LPCWSTR b) {
    const long na = NumberOf(a), nb = NumberOf(b);
    if (na >= 0 || nb >= 0) return na == nb;
    return platform::EqualNoCase(a, b);
}

bool IsExecutable(HMODULE module) { return module == nullptr || module == GetModuleHandleW(nullptr); }

}  // namespace

HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    if (!IsExecutable(hModule)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (lpName == nullptr || lpType == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Table& table = Resources();
    std::lock_guard lock(table.mutex);
    bool typeFound = false;
    for (auto* entry : table.entries) {
        if (!SameName(entry->Type(), lpType)) continue;
        typeFound = true;
        if (SameName(entry->Name(), lpName)) return reinterpret_cast<HRSRC>(entry);
    }
    SetLastError(table.entries.empty() ? ERROR_RESOURCE_DATA_NOT_FOUND
                 : typeFound           ? ERROR_RESOURCE_NAME_NOT_FOUND
                                       : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo) {
    if (!IsExecutable(hModule) || hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<void*>(reinterpret_cast<platform::ExecutableResource*>(hResInfo)->Data());
}

DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    if (!IsExecutable(hModule) || hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return reinterpret_cast<platform::ExecutableResource*>(hResInfo)->Size();
}

LPVOID LockResource(HGLOBAL hResData) { return hResData; }

namespace platform {

ExecutableResource::ExecutableResource(LPCWSTR type, LPCWSTR name, const void* data, DWORD size)
    : m_type(type), m_name(name), m_data(data), m_size(size) {
    Table& table = Resources();
    std::lock_guard lock(table.mutex);
    table.entries.push_back(this);
}

ExecutableResource::~ExecutableResource() {
    Table& table = Resources();
    std::lock_guard lock(table.mutex);
    table.entries.erase(std::remove(table.entries.begin(), table.entries.end(), this), table.entries.end());
}

}  // namespace platform
