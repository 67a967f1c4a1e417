// The registry's classes root, HKEY_CLASSES_ROOT, with the platform's calls,
// error numbers, limits and semantics: key and value names are compared
// without regard to case and keep the case they were created with; a key
// with subkeys cannot be deleted (ERROR_ACCESS_DENIED); a handle whose key
// was deleted, by this process or another, fails with ERROR_KEY_DELETED.
//
// Two stores lie behind the root (docs/registry.md): the user's, under
// $TRELVANE_HOME/registry, read above the machine-wide one. A handle opened
// for reading sees both merged, the user's keys and values first; a handle
// opened with any right to change sees only the store that changes go to.
// Changes go to the user's store, or to the machine's when the environment
// variable TRELVANE_REGISTRY_SCOPE is "machine" (which then also hides the
// user's store). A store that cannot be read fails every call that needs
// it with ERROR_BADDB, logged with the file's path.
#pragma once

#include "platform/base/sync.h"
#include "platform/base/types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LPBYTE = BYTE*;
using LSTATUS = LONG;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;

// Predefined keys are sign-extended 32-bit values, as on the platform.
inline const HKEY HKEY_CLASSES_ROOT =
    reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000000))));

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM DELETE = 0x00010000;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM KEY_READ = 0x00020019;
constexpr REGSAM KEY_WRITE = 0x00020006;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

// Limits: a key name of 255 characters, a value name of 16383, 512 levels
// below the root, 32 levels created by one call. Names beyond them, empty
// path components and names with control characters (which the stores' text
// cannot hold) give ERROR_INVALID_PARAMETER.

// lpSubKey null or empty opens the same key again (the predefined root is
// returned as it is). A missing key is ERROR_FILE_NOT_FOUND; *phkResult is
// null on failure.
LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// Opens the key, or creates it and the missing keys above it. Only
// REG_OPTION_NON_VOLATILE is supported, and no class name.
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
// Needs KEY_SET_VALUE. lpValueName null or empty is the key's default value.
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
// Needs KEY_QUERY_VALUE. A missing value is ERROR_FILE_NOT_FOUND; a buffer
// too small ERROR_MORE_DATA with the size needed in *lpcbData.
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
// Needs KEY_ENUMERATE_SUB_KEYS. Subkeys come in the order of their names
// without regard to case; past the last, ERROR_NO_MORE_ITEMS. *lpcchName:
// in, the buffer's size with the terminator; out, the name's length without.
// Keys have no class and no last-write time here (empty and zero).
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// Deletes a key without subkeys, with its values.
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
// Deletes the key lpSubKey with everything below it, as one change; with
// lpSubKey null, the subkeys and values of hKey's key.
LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
LSTATUS RegCloseKey(HKEY hKey);
