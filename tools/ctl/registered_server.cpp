#include "tools/ctl/registered_server.h"

#include "contract/trelvane.h"
#include "version/version.h"

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

void ReplyRegistration(Reporter& reporter, const std::string& scope, const std::string& commandLine,
                       const char* howToRegister) {
    const bool registered = !scope.empty();
    reporter.Reply("registered",
                   registered
                       ? "registered for " + std::string(scope == "user" ? "this user" : "every user (machine)") +
                             ": " + commandLine
                       : "not registered (" + std::string(howToRegister) + ")",
                   {{"registered", registered},
                    {"scope", registered ? tools::Value(scope) : tools::Null{}},
                    {"server", registered ? tools::Value(commandLine) : tools::Null{}},
                    {"version", std::string(trelvane::kVersion)}});
}

}  // namespace trelvane::ctl
