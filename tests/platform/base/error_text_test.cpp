#include <gtest/gtest.h>

#include "platform/windows.h"

namespace trelvane {
namespace {

std::u16string Format(DWORD id) {
    WCHAR buffer[512];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, id,
                                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, 512, nullptr);
    return std::u16string(buffer, n);
}

TEST(FormatMessage, WordsTheCodesThatClientsRead) {
    EXPECT_EQ(Format(0), u"The operation completed successfully.\r\n");
    EXPECT_EQ(Format(ERROR_FILE_NOT_FOUND), u"The system cannot find the file specified.\r\n");
    EXPECT_EQ(Format(ERROR_ACCESS_DENIED), u"Access is denied.\r\n");
    EXPECT_EQ(Format(ERROR_BADDB), u"The configuration registry database is corrupt.\r\n");
    EXPECT_EQ(Format(ERROR_TIMEOUT), u"This operation returned because the timeout period expired.\r\n");
    EXPECT_EQ(Format(ERROR_MORE_WRITES),
              u"A serial I/O operation was completed by another write to the serial port.\r\n"
              u"(The IOCTL_SERIAL_XOFF_COUNTER reached zero.)\r\n");
    // HRESULTs of the Win32 facility read as their Win32 code.
    EXPECT_EQ(Format(static_cast<DWORD>(E_INVALIDARG)), u"The parameter is incorrect.\r\n");
    EXPECT_EQ(Format(static_cast<DWORD>(HRESULT_FROM_WIN32(2))), Format(2));
    EXPECT_EQ(Format(0x80020005), u"Type mismatch.\r\n");
    // And those of remoting and activation.
    EXPECT_EQ(Format(0x800401FC), u"Object is already registered\r\n");
    EXPECT_EQ(Format(0x8001011F), u"This operation returned because the timeout period expired.\r\n");
}

TEST(FormatMessage, AllocatesAndFailsAsThePlatformDoes) {
    LPWSTR text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                   ERROR_INVALID_HANDLE, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text, n), u"The handle is invalid.\r\n");
    EXPECT_EQ(LocalFree(text), nullptr);

    WCHAR small[8];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, small, 8, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 4242, 0, small, 8, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

TEST(HresultMacros, MatchThePlatform) {
    EXPECT_EQ(HRESULT_FROM_WIN32(5), E_ACCESSDENIED);
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
    EXPECT_EQ(static_cast<DWORD>(HRESULT_FROM_WIN32(122)), 0x8007007Au);
    EXPECT_EQ(HRESULT_FACILITY(E_INVALIDARG), FACILITY_WIN32);
    EXPECT_EQ(HRESULT_CODE(E_INVALIDARG), 87u);
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(FAILED(E_POINTER));
}

TEST(WallClock, GivesSecondsAndMilliseconds) {
    __timeb64 t{};
    ASSERT_EQ(_ftime64_s(&t), 0);
    EXPECT_GT(t.time, 1'700'000'000);
    EXPECT_LT(t.millitm, 1000);
    EXPECT_NE(_ftime64_s(nullptr), 0);
}

}  // namespace
}  // namespace trelvane
