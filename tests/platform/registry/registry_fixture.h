// A private registry for each test: the user's store in a fresh
// TRELVANE_HOME, the machine's in a folder beside it, changes to the user's.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/windows.h"
#include "tests/support/child_process.h"
#include "tests/support/forked_child.h"
#include "tests/support/test_env.h"

namespace trelvane::testing {

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest()
        : m_machine("TRELVANE_MACHINE_REGISTRY", (home.Path() + "/machine").c_str()),
          m_scope("TRELVANE_REGISTRY_SCOPE", nullptr) {}

    std::string UserFile() const { return home.Path() + "/registry/classes.reg"; }
    std::string MachineFile() const { return home.Path() + "/machine/classes.reg"; }

    static HKEY Create(HKEY parent, const char16_t* path, REGSAM access = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, 0, access, nullptr, &key, nullptr), ERROR_SUCCESS)
            << platform::ToUtf8(path);
        return key;
    }
    static LSTATUS Open(HKEY parent, const char16_t* path, REGSAM access, HKEY* key) {
        return RegOpenKeyExW(parent, path, 0, access, key);
    }
    static LSTATUS SetString(HKEY key, const char16_t* name, const std::u16string& text) {
        return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
    }
    // The text of a REG_SZ value, or "<error N>".
    static std::u16string GetString(HKEY key, const char16_t* name) {
        WCHAR buffer[512];
        DWORD size = sizeof buffer, type = 0;
        const LSTATUS error = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
        if (error != ERROR_SUCCESS) return u"<error " + platform::FromUtf8(std::to_string(error)) + u">";
        return type == REG_SZ ? std::u16string(buffer) : u"<type>";
    }
    // The value at "path" from the root, read through a fresh handle.
    static std::u16string Read(const char16_t* path, const char16_t* name = nullptr) {
        HKEY key = nullptr;
        if (const LSTATUS error = Open(HKEY_CLASSES_ROOT, path, KEY_READ, &key))
            return u"<error " + platform::FromUtf8(std::to_string(error)) + u">";
        std::u16string text = GetString(key, name);
        RegCloseKey(key);
        return text;
    }
    static bool Exists(const char16_t* path) {
        HKEY key = nullptr;
        if (Open(HKEY_CLASSES_ROOT, path, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    static void Write(const char16_t* path, const char16_t* name, const std::u16string& text) {
        HKEY key = Create(HKEY_CLASSES_ROOT, path);
        EXPECT_EQ(SetString(key, name, text), ERROR_SUCCESS);
        RegCloseKey(key);
    }

    TempHome home;

private:
    ScopedEnvironment m_machine;
    ScopedEnvironment m_scope;
};

}  // namespace trelvane::testing
