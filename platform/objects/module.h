// The process's one module, its executable: its handle and file name, and
// what the platform tells about an executable file.
#pragma once

#include "platform/base/loaded_modules.h"
#include "platform/base/types.h"

struct HICON__;
using HICON = HICON__*;
using DWORD_PTR = ULONG_PTR;

// The executable's full path. When it does not fit, the first nSize - 1
// characters and a terminator are written, nSize is returned and the last
// error is ERROR_INSUFFICIENT_BUFFER. A module other than the executable:
// 0 with ERROR_MOD_NOT_FOUND.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

struct SHFILEINFOW {
    HICON hIcon;
    int iIcon;
    DWORD dwAttributes;
    WCHAR szDisplayName[MAX_PATH];
    WCHAR szTypeName[80];
};
constexpr UINT SHGFI_EXETYPE = 0x000002000;

// Only the executable-type query (SHGFI_EXETYPE) is supported: non-zero for
// a file that can be run, 0 otherwise. The low word is "EL" (0x4C45) for an
// ELF program and "#!" (0x2123) for a script, the high word 0 (no window).
// Any other query returns 0.
DWORD_PTR SHGetFileInfoW(LPCWSTR pszPath, DWORD dwFileAttributes, SHFILEINFOW* psfi, UINT cbFileInfo, UINT uFlags);

namespace platform {
// Whether path names the running executable's file (through any link).
bool IsThisExecutable(LPCWSTR path);
}  // namespace platform
