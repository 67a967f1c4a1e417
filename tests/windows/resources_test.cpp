// A program linked with the server's resources (trelvane_windows_resources):
// the system's calls find in it the type library widl built, by the
// program's path as the server registers it and by its resource number, and
// the AppID script as the Linux build carries it.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/windows.h"

namespace trelvane {
namespace {

std::string FileBytes(const char* path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ResourceBytes(LPCWSTR type, WORD id) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), type);
    EXPECT_NE(found, nullptr) << "resource " << id << " not found: error " << GetLastError();
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(nullptr, found);
    const char* data = static_cast<const char*>(LockResource(loaded));
    return data ? std::string(data, SizeofResource(nullptr, found)) : std::string();
}

std::wstring ProgramPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    EXPECT_GT(length, 0u);
    EXPECT_LT(length, static_cast<DWORD>(MAX_PATH));
    return std::wstring(path, length);
}

// The library's identity and one of its types, as a client finds them.
void ExpectTheContractsLibrary(ITypeLib* library) {
    ASSERT_NE(library, nullptr);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
    wchar_t libid[40];
    StringFromGUID2(attr->guid, libid, 40);
    EXPECT_STREQ(libid, L"{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}");
    EXPECT_EQ(attr->wMajorVerNum, 1);
    library->ReleaseTLibAttr(attr);
    ITypeInfo* info = nullptr;
    const IID events{0x7475B3C9, 0xA9F5, 0x418B, {0xB3, 0x77, 0x26, 0x77, 0x22, 0x65, 0x3A, 0x58}};
    EXPECT_EQ(library->GetTypeInfoOfGuid(events, &info), S_OK) << "_ITarvikEvents";
    if (info) info->Release();
    library->Release();
}

TEST(Resources, TheTypeLibraryIsWidlsEmbeddedAsTypelib1) {
    EXPECT_EQ(ResourceBytes(L"TYPELIB", 1), FileBytes(TRELVANE_TYPE_LIBRARY));
}

TEST(Resources, TheSystemLoadsTheLibraryFromTheProgram) {
    // By the program's path (the first TYPELIB resource), as registration
    // loads it, and by path and resource number, as a registered path reads.
    ITypeLib* library = nullptr;
    EXPECT_EQ(LoadTypeLib(ProgramPath().c_str(), &library), S_OK);
    ExpectTheContractsLibrary(library);
    library = nullptr;
    EXPECT_EQ(LoadTypeLibEx((ProgramPath() + L"\\1").c_str(), REGKIND_NONE, &library), S_OK);
    ExpectTheContractsLibrary(library);
    // There is no second library.
    library = nullptr;
    EXPECT_NE(LoadTypeLibEx((ProgramPath() + L"\\2").c_str(), REGKIND_NONE, &library), S_OK);
    if (library) library->Release();
}

TEST(Resources, TheAppIdScriptIsRegistry101AsOnLinux) {
    // The script's bytes as they are in the source, which the Linux build
    // compiles in as they are too.
    const std::string script = ResourceBytes(L"REGISTRY", 101);
    EXPECT_EQ(script, FileBytes(TRELVANE_APPID_SCRIPT));
    EXPECT_NE(script.find("'%APPID%' = s 'Trelvane'"), std::string::npos);
}

}  // namespace
}  // namespace trelvane
