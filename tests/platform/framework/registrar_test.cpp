// The registrar: how it writes and removes the keys of a registry script.
#include <cstdlib>

#include "contract/contract.h"
#include "platform/base/log.h"
#include "platform/base/utf8.h"
#include "tests/platform/registry/registry_fixture.h"

namespace trelvane {
namespace {

using trelvane::testing::RegistryTest;

class Registrar : public RegistryTest {
protected:
    Registrar() { EXPECT_EQ(AtlCreateRegistrar(registrar.Out()), S_OK); }
    platform::ComPtr<IRegistrar> registrar;
};

TEST_F(Registrar, RemovalDeletesWhatTheScriptNamesAndKeepsNoRemoveKeys) {
    const char16_t* script =
        u"HKCR { NoRemove Shared { val Mine = s 'm' Owned = s 'o' { Deep } } NoRemove Absent { Gone } }";
    ASSERT_EQ(registrar->StringRegister(script), S_OK);
    Write(u"Shared\\Owned\\Deep\\Foreign", nullptr, u"f");
    Write(u"Shared", u"Theirs", u"t");
    EXPECT_EQ(Read(u"Shared", u"Mine"), u"m");
    EXPECT_EQ(Read(u"Shared\\Owned"), u"o");
    ASSERT_TRUE(Exists(u"Absent\\Gone"));
    ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Absent"), ERROR_SUCCESS);
    ASSERT_EQ(registrar->StringUnregister(script), S_OK);
    EXPECT_EQ(Read(u"Shared", u"Mine"), u"<error 2>");  // a NoRemove key loses its named values
    EXPECT_EQ(Read(u"Shared", u"Theirs"), u"t");
    EXPECT_EQ(Read(u"Shared\\Owned"), u"<error 2>");
    EXPECT_FALSE(Exists(u"Absent"));  // a missing key is skipped, not made
    EXPECT_EQ(registrar->StringUnregister(script), S_OK);
    EXPECT_EQ(registrar->StringRegister(nullptr), E_INVALIDARG);
}

TEST_F(Registrar, TheExecutablesAppIdScriptWritesTheAppIdEntries) {
    ASSERT_EQ(registrar->AddReplacement(u"APPID", u"{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}"), S_OK);
    ASSERT_EQ(AtlUpdateRegistryFromResourceD(nullptr, MAKEINTRESOURCEW(contract::kAppIdScriptId), TRUE, nullptr,
                                             registrar.Get()),
              S_OK);
    EXPECT_EQ(Read(u"AppID\\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}"), u"Trelvane");
    EXPECT_EQ(Read(u"AppID\\Trelvane.EXE", u"AppID"), u"{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}");
    ASSERT_EQ(AtlUpdateRegistryFromResourceD(nullptr, MAKEINTRESOURCEW(contract::kAppIdScriptId), FALSE, nullptr,
                                             registrar.Get()),
              S_OK);
    EXPECT_FALSE(Exists(u"AppID\\Trelvane.EXE"));
    EXPECT_FALSE(Exists(u"AppID\\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}"));
    EXPECT_TRUE(Exists(u"AppID"));
}

TEST_F(Registrar, AScriptOutsideTheSubsetChangesNothingAndSaysWhy) {
    static const char kBad[] = "HKCR\n{\n\tKept\n\tForceRemove Replaced\n}\n";
    const platform::ExecutableResource bad(u"REGISTRY", MAKEINTRESOURCEW(9001), kBad, sizeof kBad - 1);
    _ATL_REGMAP_ENTRY entries[] = {{u"X", u"y"}, {nullptr, nullptr}};
    const platform::log::Capture logged;
    EXPECT_EQ(AtlUpdateRegistryFromResourceD(nullptr, MAKEINTRESOURCEW(9001), TRUE, entries, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_NE(logged.Text().find("line 4: 'ForceRemove' is not supported"), std::string::npos);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BSTR description = nullptr;
    ASSERT_EQ(info->GetDescription(&description), S_OK);
    EXPECT_EQ(std::u16string(description), u"Registry script, line 4: 'ForceRemove' is not supported");
    SysFreeString(description);
    info->Release();
    EXPECT_FALSE(Exists(u"Kept"));
    EXPECT_EQ(AtlUpdateRegistryFromResourceD(nullptr, MAKEINTRESOURCEW(9002), TRUE, nullptr, nullptr),
              HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(registrar->ResourceRegister(u"/bin/sh", 101, u"REGISTRY"), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(registrar->FileRegister(u"/nonexistent/script.rgs"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(Registrar, AResourceScriptFindsTheModulesPathAsModuleAndModuleRaw) {
    static const char kScript[] = "HKCR\n{\n\tServed = s '%MODULE%'\n\t{\n\t\tval Raw = s '%Module_Raw%'\n\t}\n}\n";
    const platform::ExecutableResource script(u"REGISTRY", MAKEINTRESOURCEW(9003), kScript, sizeof kScript - 1);
    ASSERT_EQ(AtlUpdateRegistryFromResourceD(nullptr, MAKEINTRESOURCEW(9003), TRUE, nullptr, nullptr), S_OK);
    WCHAR path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    EXPECT_EQ(Read(u"Served"), u"\"" + std::u16string(path) + u"\"");  // the executable's path, quoted
    EXPECT_EQ(Read(u"Served", u"Raw"), std::u16string(path));
}

TEST_F(Registrar, WhileDpkgInstallsIntoAnotherRootThePathIsTheOneInThatRoot) {
    static const char kScript[] = "HKCR\n{\n\tServed = s '%MODULE%'\n}\n";
    const platform::ExecutableResource script(u"REGISTRY", MAKEINTRESOURCEW(9004), kScript, sizeof kScript - 1);
    WCHAR path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    const std::u16string own(path);
    const std::size_t cut = own.find(u'/', 1);
    ASSERT_NE(cut, std::u16string::npos);
    const std::string top = platform::ToUtf8(own.substr(0, cut));
    // The root, with a slash after it or not; a name that only begins like
    // the path's first folder is no root of it.
    const struct {
        std::string root;
        std::u16string registered;
    } cases[] = {{top, own.substr(cut)}, {top + "/", own.substr(cut)}, {top.substr(0, top.size() - 1), own}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.root);
        ::setenv("DPKG_ROOT", c.root.c_str(), 1);
        EXPECT_EQ(AtlUpdateRegistryFromResourceD(nullptr, MAKEINTRESOURCEW(9004), TRUE, nullptr, nullptr), S_OK);
        ::unsetenv("DPKG_ROOT");
        EXPECT_EQ(Read(u"Served"), u"\"" + c.registered + u"\"");
    }
}

}  // namespace
}  // namespace trelvane
