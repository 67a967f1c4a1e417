// The server's registration: the AppID entries (the executable's registry
// script), the class entries of CTarvik (a registration tree run by
// CRegistryVirtualMachine) and the type library, all below
// HKEY_CLASSES_ROOT (on Windows, within a platform::RegistrationScope: the
// user's classes alone when TRELVANE_REGISTRY_SCOPE=user). Used behind the
// switches "RegServer" and "UnregServer".
#pragma once

#include <span>

#include "platform/windows.h"

namespace trelvane::server {

// What registration needs of the server module: its common placeholders
// and its class table. The module registers itself with
// SetRegistrationModule while it exists.
class IRegistrationModule {
public:
    // Adds the module's common placeholders ("APPID") to a registrar.
    virtual HRESULT AddCommonRGSReplacements(IRegistrarBase* registrar) = 0;
    // The classes the server serves; registration runs the registration
    // routine (updateRegistry) of each entry.
    virtual std::span<const ClassTableEntry> RegisteredClasses() = 0;

protected:
    ~IRegistrationModule() = default;
};

// Null withdraws the module; registration then fails with E_UNEXPECTED.
void SetRegistrationModule(IRegistrationModule* module);
// The module registered now, or E_UNEXPECTED (and a log line) when none is.
HRESULT CurrentRegistrationModule(IRegistrationModule** module);

// The module's common placeholder: "APPID", the AppID in registry form.
HRESULT AddAppIdPlaceholder(IRegistrarBase* registrar);

// AppID entries, then every class, then the type library; stops at the
// first failure and leaves what was written.
HRESULT RegisterServerEntries();
// Every class and the type library, then the AppID entries; stops at the
// first failure (missing entries are none). The AppID entries stay when
// the class entries or the type library cannot be removed.
HRESULT UnregisterServerEntries();

// Applies the AppID script (resource "REGISTRY" 101) in either direction.
HRESULT UpdateAppIdEntries(bool registering);
// The registration routine of CTarvik: its ProgIDs and class key.
HRESULT UpdateClassEntries(bool registering);

}  // namespace trelvane::server
