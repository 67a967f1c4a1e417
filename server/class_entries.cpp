// The class entries of CTarvik: its two ProgIDs and its class key, in the
// order registration writes them.
#include "server/registration.h"
#include "server/registry_vm.h"

namespace trelvane::server {
namespace {

enum : int {
    kProgId,
    kFriendlyName,
    kClsidKey,
    kClsid,
    kIndependentProgId,
    kCurVer,
    kProgIdKey,
    kIndependentProgIdKey,
    kProgrammable,
    kModuleType,
    kModule,
    kThreadingModel,
    kApartment,
    kAppIdName,
    kAppId,
    kTypeLibKey,
    kLibId,
};

// Only the strings with placeholders are expanded.
constexpr RegString kStrings[] = {
    {TEXT("Trelvane.Tarvik.1"), false},
    {TEXT("%FriendlyName%"), true},
    {TEXT("CLSID"), false},
    {TEXT("{979033AA-C8F3-4158-A797-255164FEA439}"), false},  // CLSID_CTarvik
    {TEXT("Trelvane.Tarvik"), false},
    {TEXT("CurVer"), false},
    {TEXT("ProgID"), false},
    {TEXT("VersionIndependentProgID"), false},
    {TEXT("Programmable"), false},
    {TEXT("%MODULETYPE%"), true},
    {TEXT("%MODULE%"), true},
    {TEXT("ThreadingModel"), false},
    {TEXT("apartment"), false},
    {TEXT("AppID"), false},
    {TEXT("%APPID%"), true},
    {TEXT("TypeLib"), false},
    {TEXT("%MODULEGUID%"), true},
};

constexpr RegNode kProgIdClsid[] = {{NodeKind::Plain, kClsidKey, kClsid, {}}};
constexpr RegNode kIndependentProgIdKeys[] = {
    {NodeKind::Plain, kClsidKey, kClsid, {}},
    {NodeKind::Plain, kCurVer, kProgId, {}},
};
constexpr RegNode kServerValues[] = {{NodeKind::Value, kThreadingModel, kApartment, {}}};
constexpr RegNode kClassKeyChildren[] = {
    {NodeKind::Plain, kProgIdKey, kProgId, {}},     {NodeKind::Plain, kIndependentProgIdKey, kIndependentProgId, {}},
    {NodeKind::Replaced, kProgrammable, kNone, {}}, {NodeKind::Plain, kModuleType, kModule, kServerValues},
    {NodeKind::Value, kAppIdName, kAppId, {}},      {NodeKind::Plain, kTypeLibKey, kLibId, {}},
};
constexpr RegNode kClassKey[] = {{NodeKind::Replaced, kClsid, kFriendlyName, kClassKeyChildren}};
constexpr RegNode kClassEntries[] = {
    {NodeKind::Plain, kProgId, kFriendlyName, kProgIdClsid},
    {NodeKind::Plain, kIndependentProgId, kFriendlyName, kIndependentProgIdKeys},
    {NodeKind::Kept, kClsidKey, kNone, kClassKey},
};

}  // namespace

HRESULT UpdateClassEntries(bool registering) {
    CRegistryVirtualMachine machine;
    IRegistrationModule* module = nullptr;
    HRESULT hr = CurrentRegistrationModule(&module);
    if (SUCCEEDED(hr)) hr = machine.AddModulePlaceholders(*module);
    if (SUCCEEDED(hr)) hr = machine.AddPlaceholder(TEXT("FriendlyName"), TEXT("CTarvik Object"));
    if (FAILED(hr)) return hr;
    return machine.Run(RegTree{HKEY_CLASSES_ROOT, kStrings, kClassEntries}, registering);
}

}  // namespace trelvane::server
