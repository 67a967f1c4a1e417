// The platform library's registrar: an object that holds placeholders and
// applies registry scripts (registry_script.h) to HKEY_CLASSES_ROOT, given
// as text, as a file, or as a resource of the executable.
//
// Registration opens or creates every key of the script and writes its
// values. Removal deletes every key the script names, with whatever lies
// below it, except NoRemove keys, whose named values it deletes instead;
// missing keys are skipped. A script outside the subset changes nothing and
// fails with DISP_E_EXCEPTION; the reason, with its line, is the thread's
// error information and a log line. Registry errors are returned as
// HRESULTs of the Win32 facility; what was written before one stays.
#pragma once

#include "platform/framework/system.h"

struct IRegistrarBase : IUnknown {
    virtual HRESULT AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT ClearReplacements() = 0;
};

struct IRegistrar : IRegistrarBase {
    virtual HRESULT ResourceRegisterSz(LPCOLESTR resFileName, LPCOLESTR szID, LPCOLESTR szType) = 0;
    virtual HRESULT ResourceUnregisterSz(LPCOLESTR resFileName, LPCOLESTR szID, LPCOLESTR szType) = 0;
    virtual HRESULT FileRegister(LPCOLESTR fileName) = 0;
    virtual HRESULT FileUnregister(LPCOLESTR fileName) = 0;
    virtual HRESULT StringRegister(LPCOLESTR data) = 0;
    virtual HRESULT StringUnregister(LPCOLESTR data) = 0;
    virtual HRESULT ResourceRegister(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType) = 0;
    virtual HRESULT ResourceUnregister(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType) = 0;
};

inline constexpr IID IID_IRegistrarBase{0xE21F8A85, 0xB05D, 0x4243, {0x81, 0x83, 0xC7, 0xCB, 0x40, 0x55, 0x88, 0xF7}};
inline constexpr IID IID_IRegistrar{0x44EC053B, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

struct _ATL_REGMAP_ENTRY {
    LPCOLESTR szKey;
    LPCOLESTR szData;
};

// The path that registration writes for a module at path: path itself,
// except while dpkg installs into another root and runs the package's
// scripts outside it (DPKG_ROOT names that root): then the path the module
// will have once that root is the system's.
platform::WString RegisteredModulePath(LPCOLESTR path);

// "Module" (the module's registered path: in quotation marks for the
// process's executable, which is started by it, else as it is) and
// "Module_Raw" (the bare path).
HRESULT AddModuleReplacements(IRegistrarBase* registrar, HMODULE module, LPCOLESTR path);

// A new registrar with no placeholders (one reference for the caller).
HRESULT AtlCreateRegistrar(IRegistrar** ppReg);
// Applies the "REGISTRY" resource lpszRes of the module with pReg (a new
// registrar when null), after adding the placeholders of pMapEntries (ended
// by an entry with a null key), then "Module" and "Module_Raw". The module's
// path must fit MAX_PATH.
HRESULT AtlUpdateRegistryFromResourceD(HINSTANCE hInst, LPCOLESTR lpszRes, BOOL bRegister,
                                       _ATL_REGMAP_ENTRY* pMapEntries, IRegistrar* pReg);
