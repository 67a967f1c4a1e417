// The executable as a module: its handle, its file name, its resources, and
// what the platform says about executable files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "contract/contract.h"
#include "platform/windows.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

std::u16string OwnPath() {
    WCHAR path[4096];
    const DWORD length = GetModuleFileNameW(nullptr, path, 4096);
    return std::u16string(path, length);
}

TEST(Module, FileNameIsCutToTheBufferAsThePlatformDoes) {
    const std::u16string path = OwnPath();
    ASSERT_GT(path.size(), 2u);
    const DWORD full = static_cast<DWORD>(path.size());
    const struct {
        DWORD size;
        DWORD result;
        DWORD lastError;
        std::u16string text;
    } cases[] = {
        {full + 1, full, 0xdeadbeef, path},
        {full, full, ERROR_INSUFFICIENT_BUFFER, path.substr(0, full - 1)},
        {2, 2, ERROR_INSUFFICIENT_BUFFER, path.substr(0, 1)},
        {1, 1, ERROR_INSUFFICIENT_BUFFER, u""},
        {0, 0, ERROR_INSUFFICIENT_BUFFER, u"\xFFFF"},  // untouched
    };
    for (const auto& c : cases) {
        std::u16string buffer(full + 8, u'\xFFFF');
        SetLastError(0xdeadbeef);
        EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), buffer.data(), c.size), c.result) << c.size;
        EXPECT_EQ(GetLastError(), c.lastError) << c.size;
        EXPECT_EQ(buffer.substr(0, c.text.size()), c.text) << c.size;
        if (c.size > 0) {
            EXPECT_EQ(buffer[c.text.size()], 0) << c.size;
        }
    }
    WCHAR small[8];
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x10), small, 8), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Module, ExecutableTypeTellsProgramsFromOtherFiles) {
    trelvane::testing::TempHome home;
    const std::string script = home.Path() + "/script", text = home.Path() + "/text";
    trelvane::testing::WriteFile(script, "#!/bin/sh\nexit 0\n");
    trelvane::testing::WriteFile(text, "plain text\n");
    trelvane::testing::SetMode(text, 0755);
    auto type = [](const std::string& path, UINT flags = SHGFI_EXETYPE) {
        return SHGetFileInfoW(platform::FromUtf8(path).c_str(), 0, nullptr, 0, flags);
    };
    EXPECT_EQ(SHGetFileInfoW(OwnPath().c_str(), 0, nullptr, 0, SHGFI_EXETYPE), 0x4C45u);
    EXPECT_EQ(type(script), 0u);  // not executable yet
    trelvane::testing::SetMode(script, 0700);
    EXPECT_EQ(type(script), 0x2123u);
    EXPECT_EQ(type(text), 0u);
    EXPECT_EQ(type(home.Path()), 0u);
    EXPECT_EQ(type(home.Path() + "/missing"), 0u);
    EXPECT_EQ(type(script, 0x100 /* SHGFI_ICON */), 0u);
}

TEST(Resources, AreFoundByTypeAndNameAsThePlatformDoes) {
    const char data[] = "HKCR { }";
    const platform::ExecutableResource extra(u"Custom", u"Named", data, sizeof data - 1);
    const HRSRC script = FindResourceW(nullptr, MAKEINTRESOURCEW(contract::kAppIdScriptId), u"registry");
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(FindResourceW(GetModuleHandleW(nullptr), u"#101", u"REGISTRY"), script);
    const HRSRC custom = FindResourceW(nullptr, u"NAMED", u"custom");
    ASSERT_NE(custom, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, custom), 8u);
    EXPECT_EQ(std::memcmp(LockResource(LoadResource(nullptr, custom)), data, 8), 0);
    const struct {
        HMODULE module;
        LPCWSTR name;
        LPCWSTR type;
        DWORD error;
    } missing[] = {
        {nullptr, MAKEINTRESOURCEW(102), u"REGISTRY", ERROR_RESOURCE_NAME_NOT_FOUND},
        {nullptr, u"#1x", u"REGISTRY", ERROR_RESOURCE_NAME_NOT_FOUND},
        {nullptr, MAKEINTRESOURCEW(101), u"RGS", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {reinterpret_cast<HMODULE>(0x10), MAKEINTRESOURCEW(101), u"REGISTRY", ERROR_MOD_NOT_FOUND},
    };
    for (const auto& m : missing) {
        SetLastError(0);
        EXPECT_EQ(FindResourceW(m.module, m.name, m.type), nullptr);
        EXPECT_EQ(GetLastError(), m.error);
    }
}

}  // namespace
}  // namespace trelvane
