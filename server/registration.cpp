#include "server/registration.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>

#include "contract/contract.h"
#include "platform/registration_scope.h"
#include "server/registry_vm.h"

namespace trelvane::server {
namespace {

std::atomic<IRegistrationModule*> g_module{nullptr};

// The executable's type library, registered under its own path with its
// folder as help folder, or removed, where the scope registers; removing
// one that is not registered does nothing.
HRESULT UpdateTypeLibrary(bool registering, const platform::RegistrationScope& scope) {
    WCHAR path[MAX_PATH];
    if (HRESULT hr = ModuleFileName(nullptr, path); FAILED(hr)) return hr;
    platform::ComPtr<ITypeLib> library;
    if (HRESULT hr = LoadTypeLib(path, library.Out()); FAILED(hr)) return hr;
    HRESULT hr;
    if (registering) {
        const platform::WString registered = RegisteredModulePath(path);
        platform::WString folder = registered;
        // Either system's separator ends the folder.
        const std::size_t end = folder.find_last_of(TEXT("/\\"));
        folder.erase(end == platform::WString::npos ? 0 : end);
        hr = scope.RegisterTypeLib(library.Get(), registered.c_str(), folder.c_str());
    } else {
        TLIBATTR* attr = nullptr;
        hr = library->GetLibAttr(&attr);
        if (SUCCEEDED(hr)) {
            hr = scope.UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
            library->ReleaseTLibAttr(attr);
        }
        if (hr == TYPE_E_LIBNOTREGISTERED) hr = S_OK;
    }
    return hr;
}

// The platform library's server registration: the routine of each class in
// the module's class table, then the type library.
HRESULT UpdateServer(bool registering, const platform::RegistrationScope& scope) {
    IRegistrationModule* module = nullptr;
    if (HRESULT hr = CurrentRegistrationModule(&module); FAILED(hr)) return hr;
    for (const ClassTableEntry& entry : module->RegisteredClasses())
        if (HRESULT hr = entry.updateRegistry ? entry.updateRegistry(registering) : S_OK; FAILED(hr)) return hr;
    return UpdateTypeLibrary(registering, scope);
}

// The program's path goes into LocalServer32 in quotation marks, and a
// command line has no way to quote a quotation mark inside them: such a path
// is refused before anything is written.
HRESULT CheckQuotablePath() {
    WCHAR path[MAX_PATH];
    if (HRESULT hr = ModuleFileName(nullptr, path); FAILED(hr)) return hr;
    if (platform::WStringView(path).find(TEXT('"')) == platform::WStringView::npos) return S_OK;
    platform::log::Error(platform::log::Channel::general,
                         "cannot register %s: a quotation mark in the program's path cannot be quoted on the "
                         "command line that starts it; install it under a path without one",
                         platform::ToUtf8(path).c_str());
    return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
}

}  // namespace

void SetRegistrationModule(IRegistrationModule* module) { g_module = module; }

HRESULT CurrentRegistrationModule(IRegistrationModule** module) {
    *module = g_module.load();
    if (*module) return S_OK;
    platform::log::Error(platform::log::Channel::general, "registration without a server module");
    return E_UNEXPECTED;
}

HRESULT AddAppIdPlaceholder(IRegistrarBase* registrar) {
    if (registrar == nullptr) return E_POINTER;
    WCHAR appId[CHARS_IN_GUID];
    StringFromGUID2(contract::APPID_Trelvane, appId, CHARS_IN_GUID);
    return registrar->AddReplacement(TEXT("APPID"), appId);
}

HRESULT UpdateAppIdEntries(bool registering) {
    platform::ComPtr<IRegistrar> registrar;
    HRESULT hr = AtlCreateRegistrar(registrar.Out());
    if (SUCCEEDED(hr)) hr = AddAppIdPlaceholder(registrar.Get());
    IRegistrationModule* module = nullptr;
    if (SUCCEEDED(hr)) hr = CurrentRegistrationModule(&module);
    if (SUCCEEDED(hr)) hr = module->AddCommonRGSReplacements(registrar.Get());
    if (FAILED(hr)) return hr;
    return AtlUpdateRegistryFromResourceD(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(contract::kAppIdScriptId),
                                          registering ? TRUE : FALSE, nullptr, registrar.Get());
}

HRESULT RegisterServerEntries() {
    if (HRESULT hr = CheckQuotablePath(); FAILED(hr)) return hr;
    const platform::RegistrationScope scope;
    if (FAILED(scope.Status())) return scope.Status();
    if (HRESULT hr = UpdateAppIdEntries(true); FAILED(hr)) return hr;
    return UpdateServer(true, scope);
}

HRESULT UnregisterServerEntries() {
    const platform::RegistrationScope scope;
    if (FAILED(scope.Status())) return scope.Status();
    if (HRESULT hr = UpdateServer(false, scope); FAILED(hr)) return hr;
    return UpdateAppIdEntries(false);
}

}  // namespace trelvane::server
