// Where a server's registration goes: for everyone on the machine, or for
// the user who runs it (TRELVANE_REGISTRY_SCOPE).
//
// On the stand-in the registry itself reads the variable (the user's store
// unless it is "machine"), and a scope changes nothing. On Windows
// HKEY_CLASSES_ROOT writes go to the machine's classes, which only an
// administrator may change; with TRELVANE_REGISTRY_SCOPE=user, while a scope
// lives, the process's HKEY_CLASSES_ROOT is HKEY_CURRENT_USER\Software\Classes,
// and the scope registers type libraries there too (the system's
// RegisterTypeLib does not follow that redirection).
//
//   platform::RegistrationScope scope;
//   if (FAILED(scope.Status())) return scope.Status();
//   ... write under HKEY_CLASSES_ROOT ...
//   scope.RegisterTypeLib(library, path, helpDir);
#pragma once

#include "platform/windows.h"

#ifdef _WIN32
#include <cstdlib>
#include <cstring>

// In the system's library, not in MinGW-w64's header.
extern "C" HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* ptlib, OLECHAR* szFullPath, OLECHAR* szHelpDir);
extern "C" HRESULT WINAPI UnRegisterTypeLibForUser(REFGUID libID, WORD wMajorVerNum, WORD wMinorVerNum, LCID lcid,
                                                   SYSKIND syskind);
#endif

namespace platform {

class RegistrationScope {
public:
#ifdef _WIN32
    RegistrationScope() {
        const char* scope = std::getenv("TRELVANE_REGISTRY_SCOPE");
        if (!scope || std::strcmp(scope, "user") != 0) return;
        LONG error = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                     &userClasses_, nullptr);
        if (error == ERROR_SUCCESS) {
            error = RegOverridePredefKey(HKEY_CLASSES_ROOT, userClasses_);
            if (error != ERROR_SUCCESS) {
                RegCloseKey(userClasses_);
                userClasses_ = nullptr;
            }
        } else {
            userClasses_ = nullptr;
        }
        status_ = HRESULT_FROM_WIN32(error);
    }

    ~RegistrationScope() {
        if (!userClasses_) return;
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        RegCloseKey(userClasses_);
    }

    bool ForUser() const { return userClasses_ != nullptr; }

    // MinGW-w64 declares the paths writable; the system only reads them.
    HRESULT RegisterTypeLib(ITypeLib* library, LPCOLESTR path, LPCOLESTR helpDir) const {
        const auto fullPath = const_cast<OLECHAR*>(path);
        const auto helpFolder = const_cast<OLECHAR*>(helpDir);
        return ForUser() ? RegisterTypeLibForUser(library, fullPath, helpFolder)
                         : ::RegisterTypeLib(library, fullPath, helpFolder);
    }

    HRESULT UnRegisterTypeLib(REFGUID libId, WORD major, WORD minor, LCID lcid, SYSKIND syskind) const {
        return ForUser() ? UnRegisterTypeLibForUser(libId, major, minor, lcid, syskind)
                         : ::UnRegisterTypeLib(libId, major, minor, lcid, syskind);
    }
#else
    RegistrationScope() = default;

    bool ForUser() const { return false; }

    HRESULT RegisterTypeLib(ITypeLib* library, LPCOLESTR path, LPCOLESTR helpDir) const {
        return ::RegisterTypeLib(library, path, helpDir);
    }

    HRESULT UnRegisterTypeLib(REFGUID libId, WORD major, WORD minor, LCID lcid, SYSKIND syskind) const {
        return ::UnRegisterTypeLib(libId, major, minor, lcid, syskind);
    }
#endif

    // S_OK, or why the user's classes could not stand in for the machine's.
    HRESULT Status() const { return status_; }

    RegistrationScope(const RegistrationScope&) = delete;
    RegistrationScope& operator=(const RegistrationScope&) = delete;

private:
#ifdef _WIN32
    HKEY userClasses_ = nullptr;
#endif
    HRESULT status_ = S_OK;
};

}  // namespace platform
