// What the object runtime finds through the registry: classes by ProgID,
// and type libraries by their registration.
#include "contract/contract.h"
#include "platform/base/log.h"
#include "tests/platform/registry/registry_fixture.h"

namespace trelvane {
namespace {

using trelvane::testing::RegistryTest;

constexpr const char16_t* kClsid = u"{979033AA-C8F3-4158-A797-255164FEA439}";

class ClassLookup : public RegistryTest {};

TEST_F(ClassLookup, ProgIdsLeadToTheirClassDirectlyOrThroughCurVer) {
    Write(u"Direct\\CLSID", nullptr, kClsid);
    Write(u"Independent\\CurVer", nullptr, u"Direct");
    Write(u"Malformed\\CLSID", nullptr, u"{not a GUID}");
    Write(u"LoopA\\CurVer", nullptr, u"LoopB");
    Write(u"LoopB\\CurVer", nullptr, u"LoopA");
    const struct {
        const char16_t* progId;
        HRESULT expected;
    } cases[] = {
        {u"Direct", S_OK},
        {u"DIRECT", S_OK},
        {u"Independent", S_OK},
        {u"Unknown", CO_E_CLASSSTRING},
        {u"Malformed", CO_E_CLASSSTRING},
        {u"LoopA", CO_E_CLASSSTRING},
        {u"Bad\\\\Name", CO_E_CLASSSTRING},
        {u"", CO_E_CLASSSTRING},
    };
    for (const auto& c : cases) {
        CLSID clsid = contract::LIBID_Trelvane;
        EXPECT_EQ(CLSIDFromProgID(c.progId, &clsid), c.expected) << platform::ToUtf8(c.progId);
        EXPECT_EQ(clsid, c.expected == S_OK ? contract::CLSID_CTarvik : CLSID_NULL) << platform::ToUtf8(c.progId);
    }
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromProgID(u"Direct", nullptr), E_INVALIDARG);
    // CLSIDFromString takes a GUID in braces, else a ProgID.
    EXPECT_EQ(CLSIDFromString(u"Independent", &clsid), S_OK);
    EXPECT_EQ(clsid, contract::CLSID_CTarvik);
    EXPECT_EQ(CLSIDFromString(u"{979033aa-c8f3-4158-a797-255164fea439}", &clsid), S_OK);
    EXPECT_EQ(CLSIDFromString(u"Unknown", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(clsid, CLSID_NULL);
    // A registry that cannot be read is not "not registered".
    trelvane::testing::WriteFile(UserFile(), "garbage\n");
    const platform::log::Capture quiet;
    EXPECT_EQ(CLSIDFromProgID(u"Direct", &clsid), REGDB_E_READREGDB);
    EXPECT_EQ(CLSIDFromString(u"Direct", &clsid), REGDB_E_READREGDB);
}

class TypeLibraryRegistration : public RegistryTest {
protected:
    TypeLibraryRegistration() {
        WCHAR buffer[MAX_PATH];
        EXPECT_GT(GetModuleFileNameW(nullptr, buffer, MAX_PATH), 0u);
        path = buffer;
        EXPECT_EQ(LoadTypeLib(path.c_str(), &library), S_OK);
    }
    ~TypeLibraryRegistration() override {
        if (library) library->Release();
    }
    static std::u16string QueryPath(WORD major, WORD minor, LCID lcid) {
        BSTR found = nullptr;
        const HRESULT hr = QueryPathOfRegTypeLib(contract::LIBID_Trelvane, major, minor, lcid, &found);
        std::u16string text = SUCCEEDED(hr) ? std::u16string(found) : u"<failed>";
        SysFreeString(found);
        return text;
    }

    std::u16string path;
    ITypeLib* library = nullptr;
};

TEST_F(TypeLibraryRegistration, RegisteredLibrariesAreFoundByVersionAndLocale) {
    EXPECT_EQ(QueryPath(1, 0, 0), u"<failed>");
    ITypeLib* loaded = nullptr;
    EXPECT_EQ(LoadRegTypeLib(contract::LIBID_Trelvane, 1, 0, 0, &loaded), TYPE_E_LIBNOTREGISTERED);
    ASSERT_EQ(RegisterTypeLib(library, path.c_str(), u"/help"), S_OK);
    const std::u16string version = u"TypeLib\\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}\\1.0";
    EXPECT_EQ(Read(version.c_str()), u"Trelvane 1.0 Type Library");
    EXPECT_EQ(Read((version + u"\\HELPDIR").c_str()), u"/help");
    EXPECT_EQ(QueryPath(1, 0, 0x0409), path);  // the locale falls back to 0
    ASSERT_EQ(LoadRegTypeLib(contract::LIBID_Trelvane, 1, 0, 0x0409, &loaded), S_OK);
    loaded->Release();
    // The highest minor version of the same major one is taken.
    Write(u"TypeLib\\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}\\1.a\\0\\win32", nullptr, u"/elsewhere/trelvane");
    Write(u"TypeLib\\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}\\2.0\\0\\win64", nullptr, u"/newer/trelvane");
    EXPECT_EQ(QueryPath(1, 0, 0), u"/elsewhere/trelvane");
    EXPECT_EQ(QueryPath(1, 0xb, 0), u"<failed>");
    EXPECT_EQ(LoadRegTypeLib(contract::LIBID_Trelvane, 1, 0, 0, &loaded), TYPE_E_CANTLOADLIBRARY);
    // Removal takes only its own version.
    EXPECT_EQ(UnRegisterTypeLib(contract::LIBID_Trelvane, 1, 0, 0, SYS_WIN64), S_OK);
    EXPECT_FALSE(Exists(version.c_str()));
    EXPECT_EQ(QueryPath(2, 0, 0), u"/newer/trelvane");
    EXPECT_EQ(UnRegisterTypeLib(contract::LIBID_Trelvane, 1, 0, 0, SYS_WIN64), TYPE_E_LIBNOTREGISTERED);
}

TEST_F(TypeLibraryRegistration, AProgramLoadsOnlyTheLibraryItCarries) {
    ITypeLib* other = reinterpret_cast<ITypeLib*>(0x1);
    EXPECT_EQ(LoadTypeLib(u"/bin/sh", &other), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(LoadTypeLib(u"/nonexistent", &other), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(nullptr, &other), E_INVALIDARG);
    EXPECT_EQ(RegisterTypeLib(nullptr, u"/x", nullptr), E_INVALIDARG);
}

TEST_F(TypeLibraryRegistration, ARegistrationWithTheLastKeyOfItsLibraryRemovesTheLibraryKey) {
    ASSERT_EQ(RegisterTypeLib(library, path.c_str(), nullptr), S_OK);
    ASSERT_EQ(UnRegisterTypeLib(contract::LIBID_Trelvane, 1, 0, 0, SYS_WIN64), S_OK);
    EXPECT_FALSE(Exists(u"TypeLib\\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}"));
    EXPECT_TRUE(Exists(u"TypeLib"));
}

}  // namespace
}  // namespace trelvane
