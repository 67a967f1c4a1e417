// Opening and closing leaves nothing behind.
#include <gtest/gtest.h>

#include "tests/serial/recording.h"
#include "serial/serial_sp.h"
#include "tools/device_end/device_end.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;

void Ignore(void*, BYTE, const char*) {}

TEST(Resources, ThousandOpenCloseCyclesLeakNoFdOrThread) {
    trelvane::testing::TempHome home;
    auto device = trelvane::DeviceEnd::Create(home.Path(), 1);
    ASSERT_TRUE(device);
    CSerialSP channel;
    channel.SetCallback(Ignore, nullptr);
    // One warm-up cycle makes the per-thread state that stays for the process.
    ASSERT_EQ(channel.OpenPort(u"COM1"), 0);
    channel.Close();
    ASSERT_TRUE(device->WaitDisconnected(2s));
    const int fds = trelvane::testing::OpenFdCount();
    const int threads = trelvane::testing::ThreadCount();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(channel.OpenPort(u"COM1"), 0) << "cycle " << i;
        if (i % 100 == 0) device->SendByte(0x3F);
        ASSERT_EQ(channel.Close(), 0);
        ASSERT_TRUE(device->WaitDisconnected(2s));  // one PC end at a time
    }
    EXPECT_EQ(trelvane::testing::OpenFdCount(), fds);
    EXPECT_EQ(trelvane::testing::ThreadCount(), threads);
}

TEST(Resources, FailedOpensLeakNothingEither) {
    trelvane::testing::TempHome home;
    const int fds = trelvane::testing::OpenFdCount();
    const int threads = trelvane::testing::ThreadCount();
    CSerialSP channel;
    for (int i = 0; i < 200; ++i) EXPECT_EQ(channel.OpenPort(u"COM250"), 2);
    EXPECT_EQ(trelvane::testing::OpenFdCount(), fds);
    EXPECT_EQ(trelvane::testing::ThreadCount(), threads);
}

}  // namespace

namespace {

TEST(Resources, APortOpenedWithoutItsListenerLeavesNoHandleBehind) {
    trelvane::testing::TempHome home;
    auto device = trelvane::DeviceEnd::Create(home.Path(), 1);
    ASSERT_TRUE(device);
    const std::size_t handles = platform::OpenHandleCount();
    {
        trelvane::testing::RecordingListener listener;
        ASSERT_EQ(listener.Open(u"COM1", 0, 0, false), 0);
    }  // destroyed without Close
    EXPECT_EQ(platform::OpenHandleCount(), handles);
}

TEST(Resources, UnpluggedDeviceLeavesNothingOpenAndComesBack) {
    trelvane::testing::TempHome home;
    auto device = trelvane::DeviceEnd::Create(home.Path(), 1);
    ASSERT_TRUE(device);
    CSerialSP channel;
    ASSERT_EQ(channel.OpenPort(u"COM1"), 0);
    channel.Close();
    ASSERT_TRUE(device->WaitDisconnected(2s));
    const int fds = trelvane::testing::OpenFdCount();
    const int threads = trelvane::testing::ThreadCount();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(channel.OpenPort(u"COM1"), 0);
        device->Unplug();
        EXPECT_EQ(channel.OpenPort(u"COM1"), 1247);  // still open until closed
        EXPECT_EQ(channel.Close(), 0);
        EXPECT_EQ(channel.OpenPort(u"COM1"), 2);  // gone
        ASSERT_TRUE(device->Replug());
    }
    EXPECT_EQ(trelvane::testing::OpenFdCount(), fds);
    EXPECT_EQ(trelvane::testing::ThreadCount(), threads);
}

}  // namespace
}  // namespace trelvane
