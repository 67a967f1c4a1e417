// The registry calls over the user's and the machine's stores.
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/base/text_case.h"
#include "platform/registry/registry.h"
#include "platform/registry/store.h"

namespace {

using platform::registry::Key;
using platform::registry::Path;
using platform::registry::Snapshot;

// Which stores a handle sees: both merged (reading), or the one it changes.
enum class View { Merged, User, Machine };

struct OpenKey {
    View view;
    Path path;
    REGSAM access;
    bool predefined;
};

constexpr REGSAM kChangeRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE |
                                 0x00040000 /* WRITE_DAC */ | 0x00080000 /* WRITE_OWNER */;

bool MachineScope() {
    const char* scope = std::getenv("TRELVANE_REGISTRY_SCOPE");
    return scope && std::strcmp(scope, "machine") == 0;
}

// Open handles by value; values are never reused while the process runs.
std::mutex g_handlesMutex;
std::unordered_map<ULONG_PTR, OpenKey> g_handles;
ULONG_PTR g_nextHandle = 0x1000;

HKEY NewHandle(OpenKey key) {
    std::lock_guard lock(g_handlesMutex);
    const ULONG_PTR value = g_nextHandle;
    g_nextHandle += 4;
    g_handles.emplace(value, std::move(key));
    return reinterpret_cast<HKEY>(value);
}

bool Resolve(HKEY hKey, OpenKey* out) {
    if (hKey == HKEY_CLASSES_ROOT) {
        *out = OpenKey{MachineScope() ? View::Machine : View::Merged, {}, KEY_ALL_ACCESS, true};
        return true;
    }
    std::lock_guard lock(g_handlesMutex);
    const auto it = g_handles.find(reinterpret_cast<ULONG_PTR>(hKey));
    if (it == g_handles.end()) return false;
    *out = it->second;
    return true;
}

bool Allowed(const OpenKey& key, REGSAM right) { return key.predefined || (key.access & right) != 0; }

// The store a handle's changes go to.
View ChangeTarget(const OpenKey& key) { return key.view == View::Merged ? View::User : key.view; }

// A key opened below another sees what its parent sees, except that a key
// opened to be changed sees only the store it changes.
View ChildView(const OpenKey& parent, REGSAM access) {
    return parent.view == View::Merged && (access & kChangeRights) ? View::User : parent.view;
}

platform::registry::StoreLocation Location(View view) {
    return view == View::Machine ? platform::registry::MachineStore() : platform::registry::UserStore();
}

// The snapshots a view reads, the user's first; one or two.
struct ViewKeys {
    Snapshot first;
    Snapshot second;

    const Key* Find(const Path& path, int which) const {
        const Snapshot& keys = which == 0 ? first : second;
        return keys ? platform::registry::FindPath(*keys, path) : nullptr;
    }
    bool Exists(const Path& path) const { return Find(path, 0) || Find(path, 1); }
};

DWORD Load(View view, ViewKeys* keys) {
    if (view == View::Machine) return platform::registry::ReadStore(platform::registry::MachineStore(), &keys->first);
    if (DWORD error = platform::registry::ReadStore(platform::registry::UserStore(), &keys->first)) return error;
    if (view == View::User) return ERROR_SUCCESS;
    return platform::registry::ReadStore(platform::registry::MachineStore(), &keys->second);
}

// Loads the handle's view; ERROR_KEY_DELETED when its key is gone.
DWORD LoadKey(const OpenKey& key, ViewKeys* keys) {
    if (DWORD error = Load(key.view, keys)) return error;
    return key.predefined || keys->Exists(key.path) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

bool SplitSubKey(const OpenKey& parent, LPCWSTR subKey, Path* full, Path* relative) {
    if (!platform::registry::SplitPath(subKey ? std::u16string_view(subKey) : std::u16string_view(), relative))
        return false;
    *full = parent.path;
    full->insert(full->end(), relative->begin(), relative->end());
    return full->size() <= platform::registry::kMaxDepth;
}

// Runs edit on the key of a handle in the store its changes go to.
DWORD ChangeKey(const OpenKey& key, const std::function<DWORD(Key& target)>& edit) {
    return platform::registry::ChangeStore(Location(ChangeTarget(key)), [&](Key& root) -> DWORD {
        Key* target = platform::registry::FindPath(root, key.path);
        if (target == nullptr && key.view == View::Merged) {
            // Read through both stores, it exists (the caller checked): it
            // now gets its place in the user's store too.
            target = &root;
            for (const auto& name : key.path) target = &target->Ensure(name);
        }
        return target ? edit(*target) : ERROR_KEY_DELETED;
    });
}

std::u16string NameOrDefault(LPCWSTR name) { return name ? std::u16string(name) : std::u16string(); }

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenKey parent;
    if (!Resolve(hKey, &parent)) return ERROR_INVALID_HANDLE;
    if (ulOptions != 0) return ERROR_INVALID_PARAMETER;
    if (parent.predefined && (lpSubKey == nullptr || *lpSubKey == 0)) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    OpenKey child{ChildView(parent, samDesired), {}, samDesired, false};
    Path relative;
    if (!SplitSubKey(parent, lpSubKey, &child.path, &relative)) return ERROR_INVALID_PARAMETER;
    ViewKeys keys;
    if (DWORD error = LoadKey(parent, &keys)) return static_cast<LSTATUS>(error);
    if (child.view != parent.view) {
        keys = ViewKeys{};
        if (DWORD error = Load(child.view, &keys)) return static_cast<LSTATUS>(error);
    }
    if (!keys.Exists(child.path)) return ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(std::move(child));
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenKey parent;
    if (!Resolve(hKey, &parent)) return ERROR_INVALID_HANDLE;
    if (Reserved != 0 || dwOptions != REG_OPTION_NON_VOLATILE || (lpClass && *lpClass)) return ERROR_INVALID_PARAMETER;
    OpenKey child{ChildView(parent, samDesired), {}, samDesired, false};
    Path relative;
    if (!SplitSubKey(parent, lpSubKey, &child.path, &relative)) return ERROR_INVALID_PARAMETER;
    if (parent.view == View::Merged && !parent.predefined) {
        ViewKeys keys;
        if (DWORD error = LoadKey(parent, &keys)) return static_cast<LSTATUS>(error);
    }
    bool createdLast = false;
    const DWORD error = ChangeKey(parent, [&](Key& target) -> DWORD {
        std::size_t created = 0;
        Key* key = &target;
        for (const auto& name : relative) {
            key = &key->Ensure(name, &createdLast);
            created += createdLast;
        }
        return created > platform::registry::kMaxLevelsCreatedAtOnce ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    });
    if (error != ERROR_SUCCESS) return static_cast<LSTATUS>(error);
    if (lpdwDisposition) *lpdwDisposition = createdLast ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = parent.predefined && relative.empty() ? hKey : NewHandle(std::move(child));
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    OpenKey key;
    if (!Resolve(hKey, &key)) return ERROR_INVALID_HANDLE;
    if (!Allowed(key, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    const std::u16string name = NameOrDefault(lpValueName);
    if (Reserved != 0 || (lpData == nullptr && cbData != 0) || !platform::registry::ValidValueName(name))
        return ERROR_INVALID_PARAMETER;
    return static_cast<LSTATUS>(ChangeKey(key, [&](Key& target) -> DWORD {
        const auto [slot, added] = target.values.try_emplace(platform::UpperCase(name));
        platform::registry::Value& value = slot->second;
        if (added) value.name = name;  // an existing value keeps the case it has
        value.type = dwType;
        value.data.assign(lpData, lpData + cbData);
        return ERROR_SUCCESS;
    }));
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    OpenKey key;
    if (!Resolve(hKey, &key)) return ERROR_INVALID_HANDLE;
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    if (!Allowed(key, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    ViewKeys keys;
    if (DWORD error = LoadKey(key, &keys)) return static_cast<LSTATUS>(error);
    const platform::registry::Value* value = nullptr;
    for (int which = 0; which < 2 && value == nullptr; ++which)
        if (const Key* found = keys.Find(key.path, which)) value = found->FindValue(NameOrDefault(lpValueName));
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    const DWORD size = static_cast<DWORD>(value->data.size());
    if (lpType) *lpType = value->type;
    if (lpData && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData && size) std::memcpy(lpData, value->data.data(), size);
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    OpenKey key;
    if (!Resolve(hKey, &key)) return ERROR_INVALID_HANDLE;
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (!Allowed(key, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    ViewKeys keys;
    if (DWORD error = LoadKey(key, &keys)) return static_cast<LSTATUS>(error);
    // Both stores' subkeys in the order of their upper-case names, each once.
    std::map<std::u16string, const std::u16string*> names;
    for (int which = 1; which >= 0; --which)
        if (const Key* found = keys.Find(key.path, which))
            for (const auto& [folded, subkey] : found->subkeys) names[folded] = &subkey->name;
    if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
    const std::u16string& name = *std::next(names.begin(), dwIndex)->second;
    if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass && lpcchClass && *lpcchClass) *lpClass = 0;
    if (lpcchClass) *lpcchClass = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

namespace {

// Deletes lpSubKey below the handle's key (the key itself when empty) in the
// store its changes go to; withSubkeys decides whether subkeys may go too.
LSTATUS DeleteKey(HKEY hKey, LPCWSTR lpSubKey, bool withSubkeys) {
    OpenKey key;
    if (!Resolve(hKey, &key)) return ERROR_INVALID_HANDLE;
    Path full, relative;
    if (!SplitSubKey(key, lpSubKey, &full, &relative)) return ERROR_INVALID_PARAMETER;
    if (full.empty()) return ERROR_ACCESS_DENIED;  // the root itself
    const std::u16string last = full.back();
    full.pop_back();
    return static_cast<LSTATUS>(platform::registry::ChangeStore(Location(ChangeTarget(key)), [&](Key& root) -> DWORD {
        Key* parent = platform::registry::FindPath(root, full);
        Key* victim = parent ? parent->Find(last) : nullptr;
        if (victim == nullptr) {
            const bool ownKeyGone =
                key.view != View::Merged && !key.predefined && !platform::registry::FindPath(root, key.path);
            return ownKeyGone ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
        }
        if (!withSubkeys && !victim->subkeys.empty()) return ERROR_ACCESS_DENIED;
        parent->subkeys.erase(platform::UpperCase(last));
        return ERROR_SUCCESS;
    }));
}

}  // namespace

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    return DeleteKey(hKey, lpSubKey, false);
}

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey != nullptr && *lpSubKey != 0) return DeleteKey(hKey, lpSubKey, true);
    OpenKey key;
    if (!Resolve(hKey, &key)) return ERROR_INVALID_HANDLE;
    if (!Allowed(key, DELETE)) return ERROR_ACCESS_DENIED;
    return static_cast<LSTATUS>(ChangeKey(key, [](Key& target) -> DWORD {
        target.subkeys.clear();
        target.values.clear();
        return ERROR_SUCCESS;
    }));
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    OpenKey key;
    if (!Resolve(hKey, &key)) return ERROR_INVALID_HANDLE;
    if (!Allowed(key, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    const std::u16string folded = platform::UpperCase(NameOrDefault(lpValueName));
    return static_cast<LSTATUS>(ChangeKey(
        key, [&](Key& target) -> DWORD { return target.values.erase(folded) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND; }));
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
    std::lock_guard lock(g_handlesMutex);
    if (g_handles.erase(reinterpret_cast<ULONG_PTR>(hKey)) == 0) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}
