// GUID strings: CLSIDFromString (with its ProgID lookup), IIDFromString and
// the registry form, with the input as UTF-8 text, and the first 16 bytes of
// the input as a GUID written by StringFromGUID2. A GUID read from text
// writes out as that text in upper case; a GUID written as text reads back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/base/utf8.h"
#include "platform/objects/com_base.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

constexpr CLSID kRegistered{0x979033AA, 0xC8F3, 0x4158, {0xA7, 0x97, 0x25, 0x51, 0x64, 0xFE, 0xA4, 0x39}};

// A classes root with one class under two ProgIDs, a CurVer that names
// itself and a CLSID value that is no GUID.
constexpr const char* kStore = R"(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Classes\Trelvane.Tarvik\CLSID]
@="{979033AA-C8F3-4158-A797-255164FEA439}"

[HKEY_CURRENT_USER\Software\Classes\Trelvane.Tarvik.1\CurVer]
@="Trelvane.Tarvik"

[HKEY_CURRENT_USER\Software\Classes\Loop\CurVer]
@="Loop"

[HKEY_CURRENT_USER\Software\Classes\Broken\CLSID]
@="{979033AA-C8F3-4158-A797-255164FEA43}"
)";

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

std::u16string Written(const GUID& guid) {
    WCHAR text[CHARS_IN_GUID];
    fuzz::Check(StringFromGUID2(guid, text, CHARS_IN_GUID) == CHARS_IN_GUID, "StringFromGUID2 wrote nothing");
    fuzz::Check(StringFromGUID2(guid, text, CHARS_IN_GUID - 1) == 0, "StringFromGUID2 wrote into a short buffer");
    return std::u16string(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The home and the environment stay for the whole run; the home is
    // removed when the process ends normally.
    static trelvane::testing::TempHome home;
    const std::string machine = home.Path() + "/machine";
    static trelvane::testing::ScopedEnvironment machineRegistry("TRELVANE_MACHINE_REGISTRY", machine.c_str());
    trelvane::testing::MakeFolder(home.Path() + "/registry");
    trelvane::testing::MakeFolder(machine);
    trelvane::testing::WriteFile(home.Path() + "/registry/classes.reg", kStore);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string text = platform::FromUtf8(std::string(reinterpret_cast<const char*>(data), size));
    const std::u16string_view terminated(text.c_str());  // what a caller's string holds
    GUID fromRegistryForm{};
    const bool registryForm = platform::GuidFromRegistryForm(text.c_str(), &fromRegistryForm);
    if (registryForm) {
        std::u16string upper(terminated);
        for (auto& c : upper) c = Upper(c);
        fuzz::Check(Written(fromRegistryForm) == upper, "a GUID does not write out as the text it was read from");
    }

    IID iid;
    const HRESULT iidResult = IIDFromString(text.c_str(), &iid);
    if (registryForm)
        fuzz::Check(iidResult == S_OK && iid == fromRegistryForm, "IIDFromString refuses the registry form");
    else
        fuzz::Check(iidResult == (terminated.size() == 38 ? CO_E_IIDSTRING : E_INVALIDARG), "IIDFromString's refusal");

    CLSID clsid;
    const HRESULT clsidResult = CLSIDFromString(text.c_str(), &clsid);
    if (registryForm) {
        fuzz::Check(clsidResult == S_OK && clsid == fromRegistryForm, "CLSIDFromString refuses the registry form");
    } else if (clsidResult == S_OK) {
        fuzz::Check(clsid == kRegistered, "a ProgID gave a class that is not registered");
    } else {
        fuzz::Check(clsidResult == CO_E_CLASSSTRING && clsid == CLSID_NULL, "CLSIDFromString's refusal");
    }

    GUID guid{};
    if (size > 0) std::memcpy(&guid, data, std::min(size, sizeof guid));
    GUID back{};
    fuzz::Check(platform::GuidFromRegistryForm(Written(guid).c_str(), &back) && back == guid,
                "a written GUID does not read back");
    return 0;
}

}  // namespace trelvane
