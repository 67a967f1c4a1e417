// How "COMn" resolves, and what a bad name reports.
#include <gtest/gtest.h>

#include "platform/windows.h"
#include "tools/device_end/device_end.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

DWORD OpenError(const char16_t* name) {
    SetLastError(0xdeadbeef);
    HANDLE port =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
        return ERROR_SUCCESS;
    }
    return GetLastError();
}

TEST(PortNames, BadNamesGiveClearCodesAndLeakNothing) {
    trelvane::testing::TempHome home;
    const int fds = trelvane::testing::OpenFdCount();
    const int threads = trelvane::testing::ThreadCount();
    trelvane::testing::LinkPort(home.Path(), 41, home.Path() + "/nothing-here");
    trelvane::testing::MakeFile(home.Path() + "/plain");
    trelvane::testing::LinkPort(home.Path(), 42, home.Path() + "/plain");
    trelvane::testing::MakeFolder(home.Path() + "/folder");
    trelvane::testing::LinkPort(home.Path(), 43, home.Path() + "/folder");

    EXPECT_EQ(OpenError(u"COM41"), ERROR_FILE_NOT_FOUND);  // dangling link
    EXPECT_EQ(OpenError(u"COM42"), ERROR_BAD_UNIT);        // a regular file
    EXPECT_EQ(OpenError(u"COM43"), ERROR_BAD_UNIT);        // a folder
    EXPECT_EQ(OpenError(u"COM0"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError(u"COM999"), ERROR_FILE_NOT_FOUND);  // no link and no /dev/ttyS998
    EXPECT_EQ(OpenError(u"LPT1"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError(u"COMx"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError(u""), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(trelvane::testing::OpenFdCount(), fds);
    EXPECT_EQ(trelvane::testing::ThreadCount(), threads);
}

TEST(PortNames, LinksMatchWithoutRegardToCase) {
    trelvane::testing::TempHome home;
    auto device = trelvane::DeviceEnd::Create(home.Path(), 6);
    ASSERT_TRUE(device);
    EXPECT_EQ(OpenError(u"COM6"), ERROR_SUCCESS);
    EXPECT_EQ(OpenError(u"com6"), ERROR_SUCCESS);
    EXPECT_EQ(OpenError(u"\\\\.\\Com6"), ERROR_SUCCESS);
}

TEST(PortNames, LinksInAFolderThatOthersMayWriteAreNotFollowed) {
    trelvane::testing::TempHome home;
    auto device = trelvane::DeviceEnd::Create(home.Path(), 6);
    ASSERT_TRUE(device);
    trelvane::testing::SetMode(home.Path() + "/dosdevices", 0777);
    const platform::log::Capture logged;
    EXPECT_EQ(OpenError(u"COM6"), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(logged.Text().find("may be written by group or others"), std::string::npos) << logged.Text();
    trelvane::testing::SetMode(home.Path() + "/dosdevices", 0755);
    EXPECT_EQ(OpenError(u"COM6"), ERROR_SUCCESS);
}

TEST(PortNames, DeviceEndThatDoesNotAnswerIsNotFound) {
    trelvane::testing::TempHome home;
    auto device = trelvane::DeviceEnd::Create(home.Path(), 7);
    ASSERT_TRUE(device);
    device->Unplug();  // the link stays, nothing listens
    EXPECT_EQ(OpenError(u"COM7"), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace trelvane
