// The registry calls: their error codes, limits and the platform's naming
// rules, over a private store.
#include <cstring>
#include <functional>

#include "tests/platform/registry/registry_fixture.h"

namespace trelvane {
namespace {

using trelvane::testing::RegistryTest;

class Registry : public RegistryTest {};

std::u16string Repeat(char16_t c, std::size_t n) { return std::u16string(n, c); }

TEST_F(Registry, NamesMatchInAnyCaseAndKeepTheCaseTheyWereCreatedWith) {
    HKEY key = Create(HKEY_CLASSES_ROOT, u"Trelvane.Tarvik\\CLSID");
    ASSERT_EQ(SetString(key, u"ThreadingModel", u"apartment"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, u"THREADINGMODEL", u"both"), ERROR_SUCCESS);
    RegCloseKey(key);
    HKEY again = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CLASSES_ROOT, u"TRELVANE.tarvik", 0, nullptr, 0, KEY_READ, nullptr, &again, &disposition),
        ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(again);
    EXPECT_EQ(Read(u"trelvane.TARVIK\\clsid", u"threadingmodel"), u"both");
    WCHAR name[64];
    DWORD length = 64;
    ASSERT_EQ(RegEnumKeyExW(HKEY_CLASSES_ROOT, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, length), u"Trelvane.Tarvik");
    const std::string text = trelvane::testing::ReadFile(UserFile());
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Classes\\Trelvane.Tarvik\\CLSID]\n\"ThreadingModel\"=\"both\""),
              std::string::npos)
        << text;
}

TEST_F(Registry, EveryCallReportsThePlatformsErrorCodes) {
    HKEY parent = Create(HKEY_CLASSES_ROOT, u"Parent");
    HKEY child = Create(HKEY_CLASSES_ROOT, u"Parent\\Child");
    HKEY readOnly = nullptr, writeOnly = nullptr, out = nullptr;
    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"Parent", KEY_READ, &readOnly), ERROR_SUCCESS);
    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"Parent", KEY_WRITE, &writeOnly), ERROR_SUCCESS);
    const HKEY bogus = reinterpret_cast<HKEY>(0x1234);
    const std::u16string longName = Repeat(u'k', 256), fine = Repeat(u'k', 255);
    std::u16string deep33, deep32;
    for (int i = 0; i < 33; ++i) deep33 += (i ? u"\\L" : u"L") + platform::FromUtf8(std::to_string(i));
    deep32 = deep33.substr(0, deep33.rfind(u'\\'));
    BYTE data[4];
    DWORD size = 0;
    WCHAR name[8];
    DWORD length = 8;
    auto create = [&](const std::u16string& path, DWORD options = 0) {
        HKEY made = nullptr;
        const LSTATUS error =
            RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, options, KEY_READ, nullptr, &made, nullptr);
        if (made) RegCloseKey(made);
        return error;
    };
    struct Case {
        const char* what;
        std::function<LSTATUS()> call;
        LSTATUS expected;
    };
    const Case cases[] = {
        {"open a missing key", [&] { return Open(HKEY_CLASSES_ROOT, u"Missing", KEY_READ, &out); }, 2},
        {"open below a made-up handle", [&] { return Open(bogus, u"x", KEY_READ, &out); }, 6},
        {"open without an out pointer", [&] { return Open(HKEY_CLASSES_ROOT, u"Parent", KEY_READ, nullptr); }, 87},
        {"open an empty path component", [&] { return Open(HKEY_CLASSES_ROOT, u"Parent\\\\Child", KEY_READ, &out); },
         87},
        {"create a 256-character name", [&] { return create(longName); }, 87},
        {"create a 255-character name", [&] { return create(fine); }, 0},
        {"create a name with a control character", [&] { return create(u"a\tb"); }, 87},
        {"create a volatile key", [&] { return create(u"Volatile", 1); }, 87},
        {"create 33 levels at once", [&] { return create(deep33); }, 87},
        {"create 32 levels at once", [&] { return create(deep32); }, 0},
        {"set a value through a read handle", [&] { return SetString(readOnly, u"v", u"x"); }, 5},
        {"query through a write handle",
         [&] { return RegQueryValueExW(writeOnly, nullptr, nullptr, nullptr, nullptr, &size); }, 5},
        {"query a missing value", [&] { return RegQueryValueExW(readOnly, u"none", nullptr, nullptr, nullptr, &size); },
         2},
        {"query with data but no size",
         [&] { return RegQueryValueExW(readOnly, nullptr, nullptr, nullptr, data, nullptr); }, 87},
        {"enumerate through a write handle",
         [&] { return RegEnumKeyExW(writeOnly, 0, name, &length, nullptr, nullptr, nullptr, nullptr); }, 5},
        {"enumerate past the last subkey",
         [&] { return RegEnumKeyExW(readOnly, 1, name, &length, nullptr, nullptr, nullptr, nullptr); }, 259},
        {"delete a key that has subkeys", [&] { return RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Parent"); }, 5},
        {"delete a missing key", [&] { return RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Parent\\Missing"); }, 2},
        {"delete the root", [&] { return RegDeleteKeyW(HKEY_CLASSES_ROOT, u""); }, 5},
        {"delete a missing value", [&] { return RegDeleteValueW(child, u"none"); }, 2},
        {"close a made-up handle", [&] { return RegCloseKey(bogus); }, 6},
        {"close the root", [&] { return RegCloseKey(HKEY_CLASSES_ROOT); }, 0},
    };
    for (const auto& c : cases) {
        length = 8;
        EXPECT_EQ(c.call(), c.expected) << c.what;
    }
    // A deleted key fails through every handle still open on it.
    ASSERT_EQ(RegDeleteKeyW(parent, u"Child"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(child, u"v", u"x"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryValueExW(child, nullptr, nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(Open(child, u"x", KEY_READ, &out), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyW(child, u"x"), ERROR_KEY_DELETED);
    for (HKEY k : {parent, child, readOnly, writeOnly}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(parent), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, QueryAndEnumerationReportSizesAsThePlatformDoes) {
    Write(u"Key\\Sub", nullptr, u"four");
    HKEY key = nullptr;
    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"Key\\Sub", KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key, u"", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 10u);  // with the terminator
    BYTE small[4];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);
    RegCloseKey(key);
    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"Key", KEY_READ, &key), ERROR_SUCCESS);
    WCHAR name[4];
    DWORD length = 3;  // "Sub" needs four with the terminator
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = 4;
    ASSERT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::u16string(name), u"Sub");
    RegCloseKey(key);
}

TEST_F(Registry, ValuesOfEveryTypeSurviveTheStoredText) {
    HKEY key = Create(HKEY_CLASSES_ROOT, u"Types");
    const DWORD number = 42;
    const BYTE binary[] = {0, 1, 0xFE, 0xFF};
    const char16_t unterminated[] = {u'a', u'b'};
    const char16_t loneSurrogate[] = {0xD800, 0};
    std::vector<BYTE> long_(100, 0xAB);
    struct Case {
        const char16_t* name;
        DWORD type;
        const void* data;
        DWORD size;
    };
    const Case cases[] = {
        {u"dword", REG_DWORD, &number, 4},
        {u"binary", REG_BINARY, binary, sizeof binary},
        {u"empty", REG_SZ, u"", 2},
        {u"quotes", REG_SZ, u"say \"C:\\x\"", 22},
        {u"line break", REG_SZ, u"a\nb", 8},
        {u"no terminator", REG_SZ, unterminated, 4},
        {u"lone surrogate", REG_SZ, loneSurrogate, 4},
        {u"multi", REG_MULTI_SZ, u"a\0b\0", 10},
        {u"long", REG_BINARY, long_.data(), 100},
        {u"none", REG_NONE, nullptr, 0},
    };
    for (const auto& c : cases)
        ASSERT_EQ(RegSetValueExW(key, c.name, 0, c.type, static_cast<const BYTE*>(c.data), c.size), ERROR_SUCCESS);
    RegCloseKey(key);
    // A second, independent reading of the text gives back every byte.
    const std::string text = trelvane::testing::ReadFile(UserFile());
    trelvane::testing::WriteFile(UserFile(), text + "\n");
    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"Types", KEY_READ, &key), ERROR_SUCCESS);
    for (const auto& c : cases) {
        BYTE buffer[128];
        DWORD type = 99, size = sizeof buffer;
        ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, buffer, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type) << platform::ToUtf8(c.name);
        ASSERT_EQ(size, c.size) << platform::ToUtf8(c.name);
        if (size) {
            EXPECT_EQ(std::memcmp(buffer, c.data, size), 0) << platform::ToUtf8(c.name);
        }
    }
    RegCloseKey(key);
    EXPECT_NE(text.find("\"dword\"=dword:0000002a\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"quotes\"=\"say \\\"C:\\\\x\\\"\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"line break\"=hex(1):61,00,0a,00,62,00,00,00\n"), std::string::npos) << text;
    EXPECT_NE(text.find(",\\\n  ab,"), std::string::npos) << text;  // long hex data continues on the next line
}

TEST_F(Registry, TheMachineStoreIsReadBeneathTheUsersAndChangedOnlyInItsScope) {
    {
        trelvane::testing::ScopedEnvironment scope("TRELVANE_REGISTRY_SCOPE", "machine");
        Write(u"Shared", nullptr, u"machine");
        Write(u"Shared\\MachineOnly", nullptr, u"m");
        Write(u"MachineClass", nullptr, u"m");
    }
    Write(u"Shared", nullptr, u"user");
    Write(u"UserClass", nullptr, u"u");
    EXPECT_EQ(Read(u"Shared"), u"user");
    EXPECT_EQ(Read(u"Shared\\MachineOnly"), u"m");
    std::u16string names;
    WCHAR name[32];
    DWORD length = 32;
    for (DWORD i = 0; RegEnumKeyExW(HKEY_CLASSES_ROOT, i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0;
         ++i, length = 32)
        names += std::u16string(name) + u" ";
    EXPECT_EQ(names, u"MachineClass Shared UserClass ");
    // A key opened to be changed sees the user's store alone.
    HKEY key = nullptr;
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"MachineClass", KEY_WRITE, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"MachineClass"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Read(u"MachineClass"), u"m");
    // In the machine's scope the user's store is out of sight.
    trelvane::testing::ScopedEnvironment scope("TRELVANE_REGISTRY_SCOPE", "machine");
    EXPECT_EQ(Read(u"Shared"), u"machine");
    EXPECT_EQ(Read(u"UserClass"), u"<error 2>");
    EXPECT_EQ(trelvane::testing::ReadFile(MachineFile()),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\MachineClass]\n@=\"m\"\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Shared]\n@=\"machine\"\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Shared\\MachineOnly]\n@=\"m\"\n\n");
}

TEST_F(Registry, AKeyDeletedByAnotherProcessFailsItsOpenHandlesCleanly) {
    HKEY key = Create(HKEY_CLASSES_ROOT, u"Victim");
    ASSERT_EQ(SetString(key, nullptr, u"before"), ERROR_SUCCESS);
    ASSERT_EQ(
        trelvane::testing::RunInChild([] { return static_cast<int>(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Victim")); }), 0);
    EXPECT_EQ(GetString(key, nullptr), u"<error 1018>");
    EXPECT_EQ(SetString(key, nullptr, u"after"), ERROR_KEY_DELETED);
    // Handles name their key by its path: a key made again under the same
    // name is the one the handle reaches.
    Write(u"Victim", nullptr, u"again");
    EXPECT_EQ(GetString(key, nullptr), u"again");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

}  // namespace
}  // namespace trelvane
