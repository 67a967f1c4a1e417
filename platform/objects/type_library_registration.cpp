// Loading type libraries from the executable, and their registration under
// HKEY_CLASSES_ROOT\TypeLib.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/base/text_case.h"
#include "platform/base/utf8.h"
#include "platform/objects/resources.h"
#include "platform/objects/type_library.h"
#include "platform/registry/registry.h"
#include "platform/registry/scoped_key.h"

namespace {

constexpr WORD kTypeLibResource = 1;

using Key = platform::ScopedKey;

std::u16string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return platform::FromUtf8(text);
}

std::u16string LibraryKey(REFGUID libid) {
    WCHAR guid[CHARS_IN_GUID];
    StringFromGUID2(libid, guid, CHARS_IN_GUID);
    return u"TypeLib\\" + std::u16string(guid);
}

std::u16string VersionKey(REFGUID libid, WORD major, WORD minor) {
    return LibraryKey(libid) + u"\\" + Hex(major) + u"." + Hex(minor);
}

LPCOLESTR SystemName(SYSKIND syskind) {
    switch (syskind) {
    case SYS_WIN16: return u"win16";
    case SYS_WIN32: return u"win32";
    case SYS_MAC: return u"mac";
    default: return u"win64";
    }
}

LSTATUS WriteDefault(const std::u16string& path, const std::u16string& text) {
    Key key;
    if (LSTATUS error =
            RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.Out(), nullptr))
        return error;
    return RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

// The default value of path, empty when it has none.
LSTATUS ReadDefault(const std::u16string& path, std::u16string* text) {
    text->clear();
    Key key;
    if (LSTATUS error = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, key.Out())) return error;
    DWORD size = 0, type = 0;
    LSTATUS error = RegQueryValueExW(key.Get(), nullptr, nullptr, &type, nullptr, &size);
    if (error == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (error != ERROR_SUCCESS || type != REG_SZ) return error;
    std::vector<WCHAR> buffer(size / sizeof(WCHAR) + 1, 0);
    error = RegQueryValueExW(key.Get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (error == ERROR_SUCCESS) *text = buffer.data();
    return error;
}

std::vector<std::u16string> SubkeyNames(HKEY key) {
    std::vector<std::u16string> names;
    WCHAR name[256];
    DWORD length = 256;
    for (DWORD i = 0; RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, length = 256)
        names.emplace_back(name, length);
    return names;
}

// The version key's name for the highest minor version of that major one.
bool BestVersion(HKEY library, USHORT major, USHORT minor, std::u16string* best) {
    long bestMinor = -1;
    for (const auto& name : SubkeyNames(library)) {
        unsigned foundMajor = 0, foundMinor = 0;
        char rest = 0;
        if (std::sscanf(platform::ToUtf8(name).c_str(), "%x.%x%c", &foundMajor, &foundMinor, &rest) != 2) continue;
        if (foundMajor == major && foundMinor >= minor && static_cast<long>(foundMinor) > bestMinor) {
            bestMinor = foundMinor;
            *best = name;
        }
    }
    return bestMinor >= 0;
}

HRESULT FromRegistry(LSTATUS error) {
    return error == ERROR_FILE_NOT_FOUND ? TYPE_E_LIBNOTREGISTERED : HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

bool OnlyFlagsAndHelpDirLeft(HKEY version) {
    for (const auto& name : SubkeyNames(version))
        if (lstrcmpiW(name.c_str(), u"FLAGS") != 0 && lstrcmpiW(name.c_str(), u"HELPDIR") != 0) return false;
    return true;
}

}  // namespace

HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
    if (szFile == nullptr || pptlib == nullptr) return E_INVALIDARG;
    *pptlib = nullptr;
    if (!platform::IsThisExecutable(szFile)) return TYPE_E_CANTLOADLIBRARY;
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(kTypeLibResource), u"TYPELIB");
    if (resource == nullptr || SizeofResource(nullptr, resource) != sizeof(platform::LibraryDesc))
        return TYPE_E_CANTLOADLIBRARY;
    const auto* desc = static_cast<const platform::LibraryDesc*>(LockResource(LoadResource(nullptr, resource)));
    return platform::CreateTypeLibFromDesc(*desc, pptlib);
}

HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
    if (ptlib == nullptr || szFullPath == nullptr) return E_INVALIDARG;
    TLIBATTR* attr = nullptr;
    if (HRESULT hr = ptlib->GetLibAttr(&attr); FAILED(hr)) return hr;
    const TLIBATTR a = *attr;
    ptlib->ReleaseTLibAttr(attr);
    BSTR name = nullptr, doc = nullptr;
    ptlib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
    const std::u16string title = doc && *doc ? doc : name ? name : u"";
    SysFreeString(name);
    SysFreeString(doc);
    const std::u16string version = VersionKey(a.guid, a.wMajorVerNum, a.wMinorVerNum);
    const std::pair<std::u16string, std::u16string> entries[] = {
        {version, title},
        {version + u"\\" + Hex(a.lcid) + u"\\" + SystemName(a.syskind), szFullPath},
        {version + u"\\FLAGS", platform::FromUtf8(std::to_string(a.wLibFlags))},
        {version + u"\\HELPDIR", szHelpDir ? szHelpDir : u""},
    };
    for (const auto& [path, text] : entries)
        if (LSTATUS error = WriteDefault(path, text)) return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
    return S_OK;
}

HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind) {
    const std::u16string library = LibraryKey(libID);
    const std::u16string versionName = Hex(wVerMajor) + u"." + Hex(wVerMinor);
    Key version;
    if (LSTATUS error = RegOpenKeyExW(HKEY_CLASSES_ROOT, (library + u"\\" + versionName).c_str(), 0,
                                      KEY_READ | KEY_WRITE, version.Out()))
        return FromRegistry(error);
    const std::u16string locale = Hex(lcid);
    if (LSTATUS error = RegDeleteKeyW(version.Get(), (locale + u"\\" + SystemName(syskind)).c_str()))
        return FromRegistry(error);
    LSTATUS error = RegDeleteKeyW(version.Get(), locale.c_str());
    if (error == ERROR_ACCESS_DENIED) return S_OK;  // the locale has other systems' registrations
    if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
    if (!OnlyFlagsAndHelpDirLeft(version.Get())) return S_OK;
    Key libraryKey;
    error = RegOpenKeyExW(HKEY_CLASSES_ROOT, library.c_str(), 0, KEY_READ | KEY_WRITE, libraryKey.Out());
    if (error == ERROR_SUCCESS) error = RegDeleteTreeW(libraryKey.Get(), versionName.c_str());
    if (error == ERROR_SUCCESS && SubkeyNames(libraryKey.Get()).empty())
        error = RegDeleteKeyW(HKEY_CLASSES_ROOT, library.c_str());
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

HRESULT QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid, BSTR* lpbstrPathName) {
    if (lpbstrPathName == nullptr) return E_INVALIDARG;
    *lpbstrPathName = nullptr;
    Key library;
    if (LSTATUS error = RegOpenKeyExW(HKEY_CLASSES_ROOT, LibraryKey(guid).c_str(), 0, KEY_READ, library.Out()))
        return FromRegistry(error);
    std::u16string version;
    if (!BestVersion(library.Get(), wMaj, wMin, &version)) return TYPE_E_LIBNOTREGISTERED;
    const LCID primary = lcid & 0x3FF;
    const LCID locales[] = {lcid, primary, 0};
    for (LCID locale : locales)
        for (LPCOLESTR system : {u"win64", u"win32"}) {
            std::u16string path;
            const LSTATUS error =
                ReadDefault(LibraryKey(guid) + u"\\" + version + u"\\" + Hex(locale) + u"\\" + system, &path);
            if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
                return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
            if (!path.empty()) {
                *lpbstrPathName = SysAllocString(path.c_str());
                return *lpbstrPathName ? S_OK : E_OUTOFMEMORY;
            }
        }
    return TYPE_E_LIBNOTREGISTERED;
}

HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib) {
    if (pptlib == nullptr) return E_INVALIDARG;
    *pptlib = nullptr;
    BSTR path = nullptr;
    if (HRESULT hr = QueryPathOfRegTypeLib(rguid, wVerMajor, wVerMinor, lcid, &path); FAILED(hr)) return hr;
    ITypeLib* library = nullptr;
    const HRESULT hr = LoadTypeLib(path, &library);
    SysFreeString(path);
    if (FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    bool same = SUCCEEDED(library->GetLibAttr(&attr)) && attr->guid == rguid && attr->wMajorVerNum == wVerMajor;
    if (attr) library->ReleaseTLibAttr(attr);
    if (!same) {
        library->Release();
        return TYPE_E_LIBNOTREGISTERED;
    }
    *pptlib = library;
    return S_OK;
}
