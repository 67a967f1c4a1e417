// CSerialSP: which callbacks come, in which order, with which values and texts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/serial/recording.h"
#include "serial/serial_sp.h"
#include "tools/device_end/device_end.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;

struct Call {
    BYTE value;
    std::string text;
    DWORD thread;
};

void Record(void* userData, BYTE value, const char* text) {
    static_cast<trelvane::testing::Recorder<Call>*>(userData)->Add({value, text, GetCurrentThreadId()});
}

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        device = trelvane::DeviceEnd::Create(home.Path(), 8);
        ASSERT_TRUE(device);
    }
    void OpenWithCallback() {
        ASSERT_EQ(channel.OpenPort(u"COM8"), 0);
        ASSERT_EQ(channel.SetEventMask(CSerialSP::DeviceEventMask), 0);
        channel.SetCallback(Record, &calls);
        ASSERT_TRUE(device->WaitConnected(2s));
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const auto& c : calls.Items()) texts.push_back(c.text);
        return texts;
    }
    trelvane::testing::TempHome home;
    std::unique_ptr<trelvane::DeviceEnd> device;
    trelvane::testing::Recorder<Call> calls;
    CSerialSP channel;
};

TEST_F(Channel, OpenPortGivesTheDefaultsAndARunningListener) {
    ASSERT_EQ(channel.OpenPort(u"COM8"), 0);
    EXPECT_EQ(channel.GetEventMask(), 0x00C1u);
    EXPECT_EQ(channel.OpenPort(u"COM8"), 1247);
    channel.SetCallback(Record, &calls);
    device->SendByte(0x3F);
    ASSERT_TRUE(calls.WaitFor(1, 2s));
    EXPECT_NE(calls.Items()[0].thread, GetCurrentThreadId());  // the listener thread
}

TEST_F(Channel, BytesComeOnePerEventWithTheirTexts) {
    OpenWithCallback();
    device->Send({0xF0, 0x00, 0x7B});  // three bytes, likely one receive event
    ASSERT_TRUE(calls.WaitFor(3, 2s));
    const auto items = calls.Items();
    EXPECT_EQ(items[0].value, 0xF0);
    EXPECT_EQ(items[0].text, "Read: '0xf0'");
    EXPECT_EQ(items[1].value, 0);
    EXPECT_EQ(items[1].text, "Read: '0'");
    EXPECT_EQ(items[2].text, "Read: '0x7b'");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls.Size(), 3u);
}

TEST_F(Channel, ByteWithNoCallbackIsConsumed) {
    ASSERT_EQ(channel.OpenPort(u"COM8"), 0);
    ASSERT_TRUE(device->WaitConnected(2s));
    device->SendByte(0x11);
    std::this_thread::sleep_for(100ms);
    channel.SetCallback(Record, &calls);
    device->SendByte(0x22);
    ASSERT_TRUE(calls.WaitFor(1, 2s));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(calls.Size(), 1u);
    EXPECT_EQ(calls.Items()[0].value, 0x22);
}

TEST_F(Channel, LinesInOneEventComeInTableOrder) {
    OpenWithCallback();
    device->SetModemLines(true, true, true);
    ASSERT_TRUE(calls.WaitFor(3, 2s));
    EXPECT_EQ(Texts(), (std::vector<std::string>{"CTS", "DSR", "RLSD"}));
    for (const auto& c : calls.Items()) EXPECT_EQ(c.value, 1);
    device->SetModemLines(true, false, true);
    ASSERT_TRUE(calls.WaitFor(4, 2s));
    EXPECT_EQ(calls.Items()[3].text, "DSR");
    EXPECT_EQ(calls.Items()[3].value, 0);
}

TEST_F(Channel, RlsdTimeIsRecordedAlsoWithoutACallback) {
    ASSERT_EQ(channel.OpenPort(u"COM8"), 0);
    ASSERT_EQ(channel.SetEventMask(CSerialSP::DeviceEventMask), 0);
    ASSERT_TRUE(device->WaitConnected(2s));
    __timeb64 before{};
    _ftime64_s(&before);
    device->SetRlsd(true);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (channel.RlsdChangeTime().time == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    const __timeb64 at = channel.RlsdChangeTime();
    const long long ms = (at.time - before.time) * 1000 + (at.millitm - before.millitm);
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, 1000);
}

TEST_F(Channel, ExpiredWaitIsOneTimeoutCall) {
    OpenWithCallback();
    channel.SetListenTimeout(100);
    device->SendByte(0x3F);  // the new bound applies from the next wait on
    ASSERT_TRUE(calls.WaitFor(2, 2s));
    channel.SetListenTimeout(INFINITE);
    const auto items = calls.Items();
    EXPECT_EQ(items[1].text, "Timeout");
    EXPECT_EQ(items[1].value, 0);
}

TEST_F(Channel, BreaksAndErrorsAloneMakeNoCall) {
    OpenWithCallback();
    device->RaiseLineError(vline::LineErrorKind::Break);
    device->RaiseLineError(vline::LineErrorKind::Parity);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls.Size(), 0u);
}

TEST_F(Channel, CallbackReplacedWhileListening) {
    OpenWithCallback();
    trelvane::testing::Recorder<Call> other;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (int i = 0; i < 200 && !stop; ++i) {
            device->SendByte(0x41);
            std::this_thread::sleep_for(200us);
        }
    });
    for (int i = 0; i < 100; ++i) channel.SetCallback(Record, (i % 2) ? &calls : &other);
    stop = true;
    sender.join();
    channel.Close();
    for (const auto& c : calls.Items()) EXPECT_EQ(c.value, 0x41);
    for (const auto& c : other.Items()) EXPECT_EQ(c.value, 0x41);
}

}  // namespace
}  // namespace trelvane
