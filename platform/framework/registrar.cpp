#include "platform/framework/registrar.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>

#include "platform/base/utf8.h"
#include "platform/framework/registry_script.h"

namespace {

using platform::ScopedKey;
using platform::ScriptKey;

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;

HRESULT FromRegistry(LSTATUS error) { return HRESULT_FROM_WIN32(static_cast<DWORD>(error)); }

LSTATUS SetString(HKEY key, const platform::WString& name, const platform::WString& text) {
    return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

HRESULT RegisterKey(HKEY parent, const ScriptKey& script) {
    ScopedKey key;
    LSTATUS error = RegCreateKeyExW(parent, script.name.c_str(), 0, nullptr, 0, kAccess, nullptr, key.Out(), nullptr);
    if (error == ERROR_SUCCESS && script.hasDefault) error = SetString(key.Get(), TEXT(""), script.defaultValue);
    for (std::size_t i = 0; error == ERROR_SUCCESS && i < script.values.size(); ++i)
        error = SetString(key.Get(), script.values[i].name, script.values[i].data);
    if (error != ERROR_SUCCESS) return FromRegistry(error);
    for (const auto& subkey : script.subkeys)
        if (HRESULT hr = RegisterKey(key.Get(), subkey); FAILED(hr)) return hr;
    return S_OK;
}

HRESULT UnregisterKey(HKEY parent, const ScriptKey& script) {
    ScopedKey key;
    LSTATUS error = RegOpenKeyExW(parent, script.name.c_str(), 0, kAccess, key.Out());
    if (error == ERROR_FILE_NOT_FOUND) return S_OK;
    if (error != ERROR_SUCCESS) return FromRegistry(error);
    for (const auto& subkey : script.subkeys)
        if (HRESULT hr = UnregisterKey(key.Get(), subkey); FAILED(hr)) return hr;
    if (script.noRemove) {
        for (const auto& value : script.values)
            if (error = RegDeleteValueW(key.Get(), value.name.c_str()); error && error != ERROR_FILE_NOT_FOUND)
                return FromRegistry(error);
        return S_OK;
    }
    key.Close();
    error = RegDeleteTreeW(parent, script.name.c_str());
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? S_OK
               : FromRegistry(error);
}

// A script outside the subset: the reason as error information and a log line.
HRESULT ScriptError(const std::string& reason) {
    platform::log::Error(platform::log::Channel::general, "registry script: %s", reason.c_str());
    ICreateErrorInfo* info = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&info))) {
        platform::WString text = platform::FromUtf8("Registry script, " + reason);
        info->SetDescription(text.data());
        info->SetSource(const_cast<LPOLESTR>(TEXT("Registrar")));
        IErrorInfo* error = nullptr;
        if (SUCCEEDED(info->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&error)))) {
            SetErrorInfo(0, error);
            error->Release();
        }
        info->Release();
    }
    return DISP_E_EXCEPTION;
}

class Registrar final : public IRegistrar, public platform::RefCounted {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IRegistrarBase && riid != IID_IRegistrar) return E_NOINTERFACE;
        *ppv = static_cast<IRegistrar*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT AddReplacement(LPCOLESTR key, LPCOLESTR item) override { return m_placeholders.Add(key, item); }
    HRESULT ClearReplacements() override {
        m_placeholders.Clear();
        return S_OK;
    }

    HRESULT ResourceRegisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) override {
        return Resource(file, id, type, true);
    }
    HRESULT ResourceUnregisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) override {
        return Resource(file, id, type, false);
    }
    HRESULT FileRegister(LPCOLESTR fileName) override { return File(fileName, true); }
    HRESULT FileUnregister(LPCOLESTR fileName) override { return File(fileName, false); }
    HRESULT StringRegister(LPCOLESTR data) override { return data ? Apply(data, true) : E_INVALIDARG; }
    HRESULT StringUnregister(LPCOLESTR data) override { return data ? Apply(data, false) : E_INVALIDARG; }
    HRESULT ResourceRegister(LPCOLESTR file, UINT nID, LPCOLESTR type) override {
        return Resource(file, MAKEINTRESOURCEW(static_cast<WORD>(nID)), type, true);
    }
    HRESULT ResourceUnregister(LPCOLESTR file, UINT nID, LPCOLESTR type) override {
        return Resource(file, MAKEINTRESOURCEW(static_cast<WORD>(nID)), type, false);
    }

private:
    HRESULT Apply(platform::WStringView text, bool registering) {
        std::vector<ScriptKey> keys;
        std::string reason;
        if (!platform::ParseRegistryScript(text, m_placeholders, &keys, &reason)) return ScriptError(reason);
        for (const auto& key : keys)
            if (HRESULT hr = registering ? RegisterKey(HKEY_CLASSES_ROOT, key) : UnregisterKey(HKEY_CLASSES_ROOT, key);
                FAILED(hr))
                return hr;
        return S_OK;
    }

    // The program can read only its own resources.
    HRESULT Resource(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type, bool registering) {
        if (id == nullptr || type == nullptr) return E_INVALIDARG;
        if (!platform::IsThisExecutable(file)) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
        const HRSRC resource = FindResourceW(nullptr, id, type);
        if (resource == nullptr) return HRESULT_FROM_WIN32(GetLastError());
        const auto* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, resource)));
        return Apply(platform::FromUtf8(std::string(bytes, SizeofResource(nullptr, resource))), registering);
    }

    HRESULT File(LPCOLESTR fileName, bool registering) {
        if (fileName == nullptr) return E_INVALIDARG;
        std::ifstream in(platform::ToUtf8(fileName), std::ios::binary);
        if (!in) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        std::ostringstream text;
        text << in.rdbuf();
        return Apply(platform::FromUtf8(text.str()), registering);
    }

    platform::PlaceholderTable m_placeholders;
};

}  // namespace

HRESULT AtlCreateRegistrar(IRegistrar** ppReg) {
    if (ppReg == nullptr) return E_POINTER;
    *ppReg = new (std::nothrow) Registrar;
    return *ppReg ? S_OK : E_OUTOFMEMORY;
}

platform::WString RegisteredModulePath(LPCOLESTR path) {
    platform::WString registered(path);
    const char* root = std::getenv("DPKG_ROOT");
    if (root == nullptr) return registered;
    platform::WString prefix = platform::FromUtf8(root);
    while (!prefix.empty() && prefix.back() == TEXT('/')) prefix.pop_back();
    if (!prefix.empty() && registered.size() > prefix.size() && registered.compare(0, prefix.size(), prefix) == 0 &&
        registered[prefix.size()] == TEXT('/'))
        registered.erase(0, prefix.size());
    return registered;
}

HRESULT AddModuleReplacements(IRegistrarBase* registrar, HMODULE module, LPCOLESTR path) {
    if (registrar == nullptr || path == nullptr) return E_INVALIDARG;
    const bool executable = module == nullptr || module == GetModuleHandleW(nullptr);
    const platform::WString registered = RegisteredModulePath(path);
    const platform::WString quoted = TEXT("\"") + registered + TEXT("\"");
    if (HRESULT hr = registrar->AddReplacement(TEXT("Module"), executable ? quoted.c_str() : registered.c_str());
        FAILED(hr))
        return hr;
    return registrar->AddReplacement(TEXT("Module_Raw"), registered.c_str());
}

HRESULT AtlUpdateRegistryFromResourceD(HINSTANCE hInst, LPCOLESTR lpszRes, BOOL bRegister,
                                       _ATL_REGMAP_ENTRY* pMapEntries, IRegistrar* pReg) {
    platform::ComPtr<IRegistrar> registrar(pReg);
    if (!registrar)
        if (HRESULT hr = AtlCreateRegistrar(registrar.Out()); FAILED(hr)) return hr;
    for (auto* entry = pMapEntries; entry && entry->szKey; ++entry)
        if (HRESULT hr = registrar->AddReplacement(entry->szKey, entry->szData); FAILED(hr)) return hr;
    WCHAR path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(hInst, path, MAX_PATH);
    if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
    if (length == MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    if (HRESULT hr = AddModuleReplacements(registrar.Get(), hInst, path); FAILED(hr)) return hr;
    if (IS_INTRESOURCE(lpszRes)) {
        const UINT id = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(lpszRes));
        return bRegister ? registrar->ResourceRegister(path, id, TEXT("REGISTRY"))
                         : registrar->ResourceUnregister(path, id, TEXT("REGISTRY"));
    }
    return bRegister ? registrar->ResourceRegisterSz(path, lpszRes, TEXT("REGISTRY"))
                     : registrar->ResourceUnregisterSz(path, lpszRes, TEXT("REGISTRY"));
}
