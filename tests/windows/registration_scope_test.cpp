// Registration for the user alone: with TRELVANE_REGISTRY_SCOPE=user, what
// a registration scope's process writes under HKEY_CLASSES_ROOT, and the
// type library it registers, land in HKEY_CURRENT_USER\Software\Classes and
// not in the machine's classes; without it, or once the scope has ended,
// HKEY_CLASSES_ROOT is the system's again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/registration_scope.h"

namespace platform {
namespace {

const wchar_t kProbeKey[] = L"Trelvane.RegistrationProbe";
const wchar_t kProbeLibrary[] = L"TypeLib\\{BD3751D9-BD3D-4CA7-BB5C-761191E1F3EC}";
const GUID kProbeLibId{0xBD3751D9, 0xBD3D, 0x4CA7, {0xBB, 0x5C, 0x76, 0x11, 0x91, 0xE1, 0xF3, 0xEC}};

bool ClassesHave(HKEY root, const std::wstring& name) {
    HKEY key = nullptr;
    const LONG error = RegOpenKeyExW(root, (L"Software\\Classes\\" + name).c_str(), 0, KEY_READ, &key);
    if (error == ERROR_SUCCESS) RegCloseKey(key);
    return error == ERROR_SUCCESS;
}

LONG CreateThroughClassesRoot(const wchar_t* name) {
    HKEY key = nullptr;
    const LONG error = RegCreateKeyExW(HKEY_CLASSES_ROOT, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (error == ERROR_SUCCESS) RegCloseKey(key);
    return error;
}

class RegistrationScopeTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveProbes(); }
    void TearDown() override {
        RemoveProbes();
        _putenv_s("TRELVANE_REGISTRY_SCOPE", "");  // removes it
    }
    static void RemoveProbes() {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
            for (const wchar_t* name : {kProbeKey, kProbeLibrary})
                RegDeleteTreeW(root, (std::wstring(L"Software\\Classes\\") + name).c_str());
    }
};

TEST_F(RegistrationScopeTest, ForTheUserEverythingGoesToTheUsersClassesWhileTheScopeLives) {
    _putenv_s("TRELVANE_REGISTRY_SCOPE", "user");
    {
        RegistrationScope scope;
        ASSERT_EQ(scope.Status(), S_OK);
        EXPECT_TRUE(scope.ForUser());
        EXPECT_EQ(CreateThroughClassesRoot(kProbeKey), ERROR_SUCCESS);

        ITypeLib* library = nullptr;
        ASSERT_EQ(LoadTypeLibEx(TEXT(TRELVANE_PROBE_LIBRARY), REGKIND_NONE, &library), S_OK);
        EXPECT_EQ(scope.RegisterTypeLib(library, TEXT(TRELVANE_PROBE_LIBRARY), nullptr), S_OK);
        library->Release();
        EXPECT_TRUE(ClassesHave(HKEY_CURRENT_USER, kProbeLibrary));
        EXPECT_FALSE(ClassesHave(HKEY_LOCAL_MACHINE, kProbeLibrary));
        EXPECT_EQ(scope.UnRegisterTypeLib(kProbeLibId, 1, 0, 0, SYS_WIN64), S_OK);
        EXPECT_FALSE(ClassesHave(HKEY_CURRENT_USER, kProbeLibrary));
    }
    EXPECT_TRUE(ClassesHave(HKEY_CURRENT_USER, kProbeKey));
    EXPECT_FALSE(ClassesHave(HKEY_LOCAL_MACHINE, kProbeKey));

    // The scope has ended: HKEY_CLASSES_ROOT writes go to the machine again.
    RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(L"Software\\Classes\\") + kProbeKey).c_str());
    EXPECT_EQ(CreateThroughClassesRoot(kProbeKey), ERROR_SUCCESS);
    EXPECT_TRUE(ClassesHave(HKEY_LOCAL_MACHINE, kProbeKey));
    EXPECT_FALSE(ClassesHave(HKEY_CURRENT_USER, kProbeKey));
}

TEST_F(RegistrationScopeTest, OtherwiseTheSystemsClassesRootStands) {
    for (const char* value : {"", "machine", "User"}) {
        SCOPED_TRACE(std::string("TRELVANE_REGISTRY_SCOPE=") + value);
        _putenv_s("TRELVANE_REGISTRY_SCOPE", value);
        RegistrationScope scope;
        EXPECT_EQ(scope.Status(), S_OK);
        EXPECT_FALSE(scope.ForUser());
        EXPECT_EQ(CreateThroughClassesRoot(kProbeKey), ERROR_SUCCESS);
        EXPECT_TRUE(ClassesHave(HKEY_LOCAL_MACHINE, kProbeKey));
        EXPECT_FALSE(ClassesHave(HKEY_CURRENT_USER, kProbeKey));
        RemoveProbes();
    }
}

}  // namespace
}  // namespace platform
