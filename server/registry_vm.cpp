#include "server/registry_vm.h"

#include <string>

#include "contract/trelvane.h"

namespace trelvane::server {
namespace {

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;

HRESULT FromRegistry(LSTATUS error) { return HRESULT_FROM_WIN32(static_cast<DWORD>(error)); }

LSTATUS CreateKey(HKEY parent, const platform::WString& name, platform::ScopedKey* key) {
    return RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kAccess, nullptr, key->Out(),
                           nullptr);
}

LSTATUS SetString(HKEY key, LPCOLESTR name, const platform::WString& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

}  // namespace

HRESULT ModuleFileName(HMODULE module, WCHAR (&path)[MAX_PATH]) {
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);  // the path was cut
    if (length > 0) return S_OK;
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);  // a failure that gave no reason
}

HRESULT CRegistryVirtualMachine::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = riid == IID_IUnknown || riid == IID_IRegistrarBase ? this : nullptr;
    return *ppvObject ? S_OK : E_NOINTERFACE;
}

HRESULT CRegistryVirtualMachine::ClearReplacements() {
    m_placeholders.Clear();
    return S_OK;
}

HRESULT CRegistryVirtualMachine::AddPlaceholder(LPCOLESTR name, LPCOLESTR value) {
    return m_placeholders.Add(name, value);
}

HRESULT CRegistryVirtualMachine::AddModulePlaceholders(IRegistrationModule& module) {
    const HMODULE instance = GetModuleHandleW(nullptr);
    WCHAR path[MAX_PATH];
    if (HRESULT hr = ModuleFileName(instance, path); FAILED(hr)) return hr;
    HRESULT hr = AddModuleReplacements(this, instance, path);
    if (FAILED(hr)) return hr;
    LPOLESTR libid = nullptr;
    if (hr = StringFromCLSID(contract::LIBID_Trelvane, &libid); FAILED(hr)) return hr;
    hr = AddPlaceholder(TEXT("MODULEGUID"), libid);
    CoTaskMemFree(libid);
    if (FAILED(hr)) return hr;
    const bool executable = SHGetFileInfoW(path, 0, nullptr, 0, SHGFI_EXETYPE) != 0;
    if (hr = AddPlaceholder(TEXT("MODULETYPE"), executable ? TEXT("LocalServer32") : TEXT("InprocServer32"));
        FAILED(hr))
        return hr;
    return module.AddCommonRGSReplacements(this);
}

HRESULT CRegistryVirtualMachine::Run(const RegTree& tree, bool registering) {
    return Nodes(tree, tree.root, tree.nodes, registering);
}

HRESULT CRegistryVirtualMachine::String(const RegTree& tree, int index, platform::WString* out) const {
    const RegString& entry = tree.strings[static_cast<std::size_t>(index)];
    if (!entry.expand) {
        *out = entry.text;
        return S_OK;
    }
    return m_placeholders.Expand(entry.text, out);
}

// parent is null while removal walks below a key that does not exist.
HRESULT CRegistryVirtualMachine::Nodes(const RegTree& tree, HKEY parent, std::span<const RegNode> nodes,
                                       bool registering) {
    for (const RegNode& node : nodes) {
        if (node.kind == NodeKind::Value && !registering) continue;
        platform::WString name, data;
        if (HRESULT hr = String(tree, node.name, &name); FAILED(hr)) return hr;
        HRESULT hr;
        if (node.kind != NodeKind::Value)
            hr = registering ? RegisterKey(tree, parent, node, name) : RemoveKey(tree, parent, node, name);
        else if (hr = String(tree, node.data, &data); SUCCEEDED(hr))
            hr = FromRegistry(SetString(parent, name.c_str(), data));
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT CRegistryVirtualMachine::RegisterKey(const RegTree& tree, HKEY parent, const RegNode& node,
                                             const platform::WString& name) {
    platform::ScopedKey key;
    LSTATUS error = ERROR_SUCCESS;
    if (node.kind == NodeKind::Kept) {
        if (RegOpenKeyExW(parent, name.c_str(), 0, kAccess, key.Out()) != ERROR_SUCCESS)
            error = CreateKey(parent, name, &key);
    } else {
        if (node.kind == NodeKind::Replaced) error = RegDeleteTreeW(parent, name.c_str());
        if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) error = CreateKey(parent, name, &key);
    }
    if (error != ERROR_SUCCESS) return FromRegistry(error);
    if (node.data != kNone) {
        platform::WString data;
        if (HRESULT hr = String(tree, node.data, &data); FAILED(hr)) return hr;
        if (error = SetString(key.Get(), nullptr, data); error != ERROR_SUCCESS) return FromRegistry(error);
    }
    return Nodes(tree, key.Get(), node.children, true);
}

HRESULT CRegistryVirtualMachine::RemoveKey(const RegTree& tree, HKEY parent, const RegNode& node,
                                           const platform::WString& name) {
    platform::ScopedKey key;
    if (parent != nullptr) {
        const LSTATUS error = RegOpenKeyExW(parent, name.c_str(), 0, kAccess, key.Out());
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return FromRegistry(error);
    }
    if (HRESULT hr = Nodes(tree, key.Get(), node.children, false); FAILED(hr)) return hr;
    if (key.Get() == nullptr || node.kind == NodeKind::Kept) return S_OK;
    key.Close();
    // One change of the store: a removal cut short never leaves half a key.
    const LSTATUS error = RegDeleteTreeW(parent, name.c_str());
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? S_OK
               : FromRegistry(error);
}

}  // namespace trelvane::server
