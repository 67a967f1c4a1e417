#include "tools/ctl/registered_server.h"

#include "contract/trelvane.h"

namespace trelvane::ctl {

platform::WString ServerKeyName() {
    WCHAR clsid[40];
    StringFromGUID2(contract::CLSID_CTarvik, clsid, 40);
    return TEXT("CLSID\\") + platform::WString(clsid) + TEXT("\\LocalServer32");
}

LSTATUS RegisteredServer(std::string* commandLine) {
    const platform::WString keyName = ServerKeyName();
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return status;
    WCHAR value[1024] = {};
    DWORD type = 0;
    DWORD size = sizeof value - sizeof(WCHAR);
    status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS) *commandLine = platform::ToUtf8(value);
    return status;
}

}  // namespace trelvane::ctl
