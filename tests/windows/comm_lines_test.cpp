// Wine's serial calls on a pty linked as a COM port, with the modem lines of
// the preloaded pty_lines library: the port-event wait, the modem status and
// the line functions that fail on a bare pty, and bytes both ways.
#include <gtest/gtest.h>

#include "platform/windows.h"
#include "tests/windows/pty_device_link.h"

namespace trelvane {
namespace {

// Bounds a wait that would otherwise hang the suite when an event never comes.
constexpr DWORD kEventBound = 10000;

class CommLines : public ::testing::Test {
protected:
    void SetUp() override {
        port = CreateFileW(TEXT("COM7"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(ov.hEvent, nullptr);
    }
    void TearDown() override {
        if (ov.hEvent) CloseHandle(ov.hEvent);
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }
    // Starts a port-event wait and returns the events it ends with, or
    // 0xFFFFFFFF when it failed or did not end within the bound.
    DWORD WaitForEvents(void (*cause)(trelvane::testing::PtyDevice&)) {
        DWORD events = 0;
        if (!WaitCommEvent(port, &events, &ov)) {
            const DWORD error = GetLastError();
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_IO_PENDING));
            if (error != ERROR_IO_PENDING) return 0xFFFFFFFF;
            cause(device);
            if (WaitForSingleObject(ov.hEvent, kEventBound) != WAIT_OBJECT_0) {
                CancelIo(port);
                ADD_FAILURE() << "no port event within the bound";
                return 0xFFFFFFFF;
            }
            DWORD ignored = 0;
            if (!GetOverlappedResult(port, &ov, &ignored, FALSE)) {
                ADD_FAILURE() << "the wait failed with " << GetLastError();
                return 0xFFFFFFFF;
            }
        }
        return events;
    }

    trelvane::testing::PtyDevice device{7};
    HANDLE port = INVALID_HANDLE_VALUE;
    OVERLAPPED ov{};
};

TEST_F(CommLines, ModemStatusFollowsTheDeviceAndTheDeviceSeesDtrAndRts) {
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port, &status)) << GetLastError();
    EXPECT_EQ(status, 0u);
    device.SetLines(true, false, true);
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, static_cast<DWORD>(MS_CTS_ON | MS_RLSD_ON));
    device.SetLines(false, true, false, true);
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, static_cast<DWORD>(MS_DSR_ON | MS_RING_ON));

    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR)) << GetLastError();
    ASSERT_TRUE(EscapeCommFunction(port, CLRRTS)) << GetLastError();
    EXPECT_EQ(device.OutputLines(), "0 0");
    ASSERT_TRUE(EscapeCommFunction(port, SETDTR));
    EXPECT_EQ(device.OutputLines(), "1 0");
    ASSERT_TRUE(EscapeCommFunction(port, SETRTS));
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_EQ(device.OutputLines(), "0 1");
}

TEST_F(CommLines, PortEventWaitsEndOnLineChangesAndBytes) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR)) << GetLastError();
    EXPECT_EQ(WaitForEvents([](auto& d) { d.SetLines(true, false, false); }), static_cast<DWORD>(EV_CTS));
    EXPECT_EQ(WaitForEvents([](auto& d) { d.SetLines(true, true, false); }), static_cast<DWORD>(EV_DSR));
    EXPECT_EQ(WaitForEvents([](auto& d) { d.SetLines(true, true, true); }), static_cast<DWORD>(EV_RLSD));
    EXPECT_EQ(WaitForEvents([](auto& d) { d.Send({0x3F}); }), static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(CommLines, BytesGoBothWays) {
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};  // reads return what is there
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    const BYTE out[] = {0xF0, 0x00, 0x7B};
    DWORD count = 0;
    if (!WriteFile(port, out, sizeof out, &count, &ov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &count, TRUE));
    }
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(device.Receive(3, kEventBound), (std::vector<std::uint8_t>{0xF0, 0x00, 0x7B}));

    // The bytes are in the port once the port-event wait has seen them.
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    ASSERT_EQ(WaitForEvents([](auto& d) { d.Send({1, 2, 3, 4}); }), static_cast<DWORD>(EV_RXCHAR));
    BYTE in[8] = {};
    std::size_t total = 0;
    while (total < 4) {
        if (!ReadFile(port, in + total, sizeof in - total, &count, &ov)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            ASSERT_TRUE(GetOverlappedResult(port, &ov, &count, TRUE));
        }
        ASSERT_GT(count, 0u) << "fewer bytes than the device sent";
        total += count;
    }
    EXPECT_EQ(std::vector<BYTE>(in, in + total), (std::vector<BYTE>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace trelvane
