// Resources of the executable: data built into the program, found by type
// and name with the platform's calls. A resource is declared by an
// ExecutableResource object at namespace scope in a source file compiled
// into the program (the stand-in for a resource script linked into it).
// Names and types are numbers (MAKEINTRESOURCEW, or "#n") or strings
// compared without regard to case.
#pragma once

#include "platform/objects/module.h"

struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = void*;

inline LPWSTR MAKEINTRESOURCEW(WORD id) { return reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(id)); }
inline bool IS_INTRESOURCE(LPCWSTR name) { return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0; }

// Null with ERROR_RESOURCE_DATA_NOT_FOUND when the program has no resources,
// ERROR_RESOURCE_TYPE_NOT_FOUND or ERROR_RESOURCE_NAME_NOT_FOUND when there
// is none of that type or name; a module other than the executable gives
// ERROR_MOD_NOT_FOUND.
HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo);
DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo);
LPVOID LockResource(HGLOBAL hResData);

namespace platform {

class ExecutableResource {
public:
    // type and name may be MAKEINTRESOURCEW values; strings must outlive
    // the object, as must the data, which is never written.
    ExecutableResource(LPCWSTR type, LPCWSTR name, const void* data, DWORD size);
    ~ExecutableResource();
    ExecutableResource(const ExecutableResource&) = delete;
    ExecutableResource& operator=(const ExecutableResource&) = delete;

    LPCWSTR Type() const { return m_type; }
    LPCWSTR Name() const { return m_name; }
    const void* Data() const { return m_data; }
    DWORD Size() const { return m_size; }

private:
    LPCWSTR m_type;
    LPCWSTR m_name;
    const void* m_data;
    DWORD m_size;
};

}  // namespace platform
