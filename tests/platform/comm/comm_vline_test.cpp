// The comm calls over the virtual line, driven from the device end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/comm/comm_port.h"
#include "platform/windows.h"
#include "tools/device_end/device_end.h"
#include "tests/support/stuck_listener.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;
using trelvane::DeviceEnd;

class VirtualLine : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        device = DeviceEnd::Create(home.Path(), 3, &error);
        ASSERT_TRUE(device) << error;
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        for (HANDLE event : eventHandles) CloseHandle(event);
    }
    HANDLE Open(DWORD flags = FILE_FLAG_OVERLAPPED) {
        port = CreateFileW(u"COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        return port;
    }
    // An OVERLAPPED with a manual-reset event of its own; the event is
    // closed with the fixture, after the port.
    OVERLAPPED WithEvent() {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        eventHandles.push_back(ov.hEvent);
        return ov;
    }

    trelvane::testing::TempHome home;
    std::unique_ptr<DeviceEnd> device;
    HANDLE port = INVALID_HANDLE_VALUE;
    std::vector<HANDLE> eventHandles;  // those of WithEvent
};

TEST_F(VirtualLine, BytesBothWaysOnASynchronousHandle) {
    ASSERT_NE(Open(0), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(device->WaitConnected(2s));
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(port, "hi", 2, &count, nullptr));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(device->ReadBytes(2, 2s), (std::vector<std::uint8_t>{'h', 'i'}));

    COMMTIMEOUTS blocking{};  // all zero: a read waits for every byte asked for
    ASSERT_TRUE(SetCommTimeouts(port, &blocking));
    std::thread sender([&] {
        std::this_thread::sleep_for(50ms);
        device->Send({1, 2});
        std::this_thread::sleep_for(20ms);
        device->Send({3});
    });
    BYTE buffer[3] = {};
    ASSERT_TRUE(ReadFile(port, buffer, 3, &count, nullptr));
    sender.join();
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(buffer[2], 3);
}

// The device end's byte hook, which latency figures rely on: every byte the
// driver writes, in order, with the time the device end's wait for it
// returned (after the write began, and before the hook runs).
TEST_F(VirtualLine, TheByteHookGetsEachByteWithTheTimeItArrived) {
    using Clock = std::chrono::steady_clock;
    struct Seen {
        std::uint8_t byte;
        Clock::time_point arrived, hooked;
    };
    std::mutex mutex;
    std::vector<Seen> seen;
    device->SetByteHook([&](std::uint8_t byte, Clock::time_point arrived) {
        std::lock_guard lock(mutex);
        seen.push_back({byte, arrived, Clock::now()});
    });
    ASSERT_NE(Open(0), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(device->WaitConnected(2s));
    const Clock::time_point before = Clock::now();
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(port, "hi", 2, &count, nullptr));
    ASSERT_EQ(device->ReadBytes(2, 2s).size(), 2u);  // queued after the hook has run
    device->SetByteHook({});
    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].byte, 'h');
    EXPECT_EQ(seen[1].byte, 'i');
    for (const Seen& s : seen) {
        EXPECT_GE(s.arrived, before);
        EXPECT_LE(s.arrived, s.hooked);
    }
}

TEST_F(VirtualLine, ReadIntervalModes) {
    ASSERT_NE(Open(0), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(device->WaitConnected(2s));
    DWORD count = 99;
    BYTE buffer[8];
    // MAXDWORD/0/0: return at once with what is there, maybe nothing.
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    ASSERT_TRUE(ReadFile(port, buffer, 8, &count, nullptr));
    EXPECT_EQ(count, 0u);
    // MAXDWORD/MAXDWORD/C: wait for the first byte, at most C ms.
    t = {MAXDWORD, MAXDWORD, 100, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ReadFile(port, buffer, 8, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 95ms);
    device->Send({7, 8});
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(ReadFile(port, buffer, 8, &count, nullptr));
    EXPECT_EQ(count, 2u);
    // A total timeout returns what came in time; an interval ends a burst.
    t = {20, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    device->Send({1, 2, 3});
    ASSERT_TRUE(ReadFile(port, buffer, 8, &count, nullptr));
    EXPECT_EQ(count, 3u);
}

TEST_F(VirtualLine, LineSettingsReachTheDeviceAndRefusalsChangeNothing) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(device->WaitConnected(2s));
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_TRUE(device->WaitLines([](bool dtr, bool rts) { return dtr && rts; }, 2s));

    dcb.BaudRate = 68;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(port, &dcb));
    const auto settings = device->Settings();
    EXPECT_EQ(settings.baud, 68u);
    EXPECT_EQ(settings.dataBits, 7);
    EXPECT_EQ(settings.parity, EVENPARITY);
    EXPECT_EQ(settings.stopBits, TWOSTOPBITS);
    EXPECT_TRUE(device->WaitLines([](bool dtr, bool rts) { return !dtr && !rts; }, 2s));

    device->RefuseSettings(true);
    DCB refused = dcb;
    refused.BaudRate = 300;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetCommState(port, &refused));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 68u);

    // The platform's own checks: 1.5 stop bits only with 5 data bits, and so on.
    using Change = void (*)(DCB&);
    for (Change bad : {Change([](DCB& d) { d.ByteSize = 9; }), Change([](DCB& d) { d.Parity = 5; }),
                       Change([](DCB& d) { d.StopBits = ONE5STOPBITS; }), Change([](DCB& d) { d.BaudRate = 0; })}) {
        DCB b = dcb;
        bad(b);
        EXPECT_FALSE(SetCommState(port, &b));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST_F(VirtualLine, ModemLinesBreaksAndErrorsBecomeEvents) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(device->WaitConnected(2s));
    ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR));
    OVERLAPPED ov = WithEvent();
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port, &events, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    device->SetModemLines(true, true, true);
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 2000), WAIT_OBJECT_0);
    DWORD n;
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(events, EV_CTS | EV_DSR | EV_RLSD);
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

    // A change and its undoing before anyone looks is still one change.
    device->SetDsr(false);
    device->SetDsr(true);
    device->RaiseLineError(vline::LineErrorKind::Framing);
    device->RaiseLineError(vline::LineErrorKind::Break);
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(WaitCommEvent(port, &events, &ov));  // history: completes at once
    EXPECT_EQ(events, EV_DSR | EV_BREAK | EV_ERR);
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, CE_FRAME | CE_BREAK);
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
}

TEST_F(VirtualLine, NewMaskCompletesTheWaitWithNoBits) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    OVERLAPPED ov = WithEvent();
    DWORD events = 0xFFFF;
    ASSERT_FALSE(WaitCommEvent(port, &events, &ov));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 50), WAIT_TIMEOUT);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(events, 0u);
    // Only one wait at a time, and never with an empty mask.
    ASSERT_FALSE(WaitCommEvent(port, &events, &ov));
    OVERLAPPED second{};
    EXPECT_FALSE(WaitCommEvent(port, &events, &second));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetCommMask(port, 0));
    EXPECT_FALSE(WaitCommEvent(port, &events, &ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(VirtualLine, NewMaskKeepsTheRecordedEventsItStillSelects) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(device->WaitConnected(2s));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS));
    device->SendByte(0x3F);
    device->SetCts(true);
    std::this_thread::sleep_for(50ms);  // both recorded, no wait outstanding
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_DSR));
    DWORD events = 0;
    OVERLAPPED ov = WithEvent();
    const BOOL atOnce = WaitCommEvent(port, &events, &ov);  // the byte is still news
    EXPECT_TRUE(atOnce);
    if (!atOnce) {
        CancelIo(port);
        DWORD n = 0;
        GetOverlappedResult(port, &ov, &n, TRUE);
    }
    EXPECT_EQ(events, EV_RXCHAR);  // CTS is no longer selected, and forgotten
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS));
    EXPECT_FALSE(WaitCommEvent(port, &events, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    CloseHandle(port);  // completes the wait while events and ov still exist
    port = INVALID_HANDLE_VALUE;
}

TEST_F(VirtualLine, CancelIoExCancelsOneOperationOfAnyThread) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    COMMTIMEOUTS blocking{};
    ASSERT_TRUE(SetCommTimeouts(port, &blocking));
    ASSERT_TRUE(SetCommMask(port, EV_CTS));
    OVERLAPPED read{}, wait{}, theirs{};
    BYTE a = 0, b = 0;
    DWORD events = 0, n = 0;
    ASSERT_FALSE(ReadFile(port, &a, 1, nullptr, &read));
    ASSERT_FALSE(WaitCommEvent(port, &events, &wait));
    std::thread other([&] { EXPECT_FALSE(ReadFile(port, &b, 1, nullptr, &theirs)); });
    other.join();
    ASSERT_TRUE(CancelIoEx(port, &read));
    EXPECT_FALSE(GetOverlappedResult(port, &read, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    ASSERT_TRUE(CancelIoEx(port, &theirs));  // another thread's
    EXPECT_FALSE(GetOverlappedResult(port, &theirs, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(GetOverlappedResult(port, &wait, &n, FALSE));  // the wait of the same thread goes on
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(CancelIoEx(port, &read));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    device->SetCts(true);
    EXPECT_TRUE(GetOverlappedResult(port, &wait, &n, TRUE));
    EXPECT_EQ(events, EV_CTS);
}

TEST_F(VirtualLine, DeviceEndCanRefuseControlLinesAndFailWrites) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(device->WaitConnected(2s));
    device->RefuseControlLines(true, false);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(port, &dcb));  // RTS may change
    EXPECT_TRUE(device->WaitLines([](bool dtr, bool rts) { return dtr && !rts; }, 2s));
    DCB refused = dcb;
    refused.fDtrControl = DTR_CONTROL_DISABLE;
    refused.BaudRate = 68;
    EXPECT_FALSE(SetCommState(port, &refused));  // nothing of it is taken
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(device->Dtr());
    EXPECT_EQ(device->Settings().baud, 9600u);
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);

    device->FailWrites(1);
    std::this_thread::sleep_for(50ms);
    OVERLAPPED ov = WithEvent();
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(port, "a", 1, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    if (!WriteFile(port, "b", 1, &n, &ov)) {
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE));
    }
    EXPECT_EQ(device->ReadBytes(1, 2s), std::vector<std::uint8_t>{'b'});
}

TEST_F(VirtualLine, AnEndRightAfterASettingsReplyComesInItsOrder) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(device->WaitConnected(2s));
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 68;
    // The device takes the settings and then the cable is pulled: the change
    // succeeded, and the very next call learns of the end.
    device->DropAt(DeviceEnd::DropPoint::SettingsReply);
    EXPECT_TRUE(SetCommState(port, &dcb));
    EXPECT_FALSE(SetCommMask(port, EV_RXCHAR));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    CloseHandle(port);
    ASSERT_TRUE(device->WaitDisconnected(2s));
    // Pulled instead of answering: the change itself fails.
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    device->DropAt(DeviceEnd::DropPoint::SettingsRequest);
    dcb.BaudRate = 300;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(VirtualLine, CancelIoCancelsOnlyTheCallingThreadsOperations) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    COMMTIMEOUTS blocking{};
    ASSERT_TRUE(SetCommTimeouts(port, &blocking));
    OVERLAPPED mine{}, theirs{};
    BYTE a = 0, b = 0;
    std::thread other([&] {
        EXPECT_FALSE(ReadFile(port, &b, 1, nullptr, &theirs));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    });
    other.join();
    ASSERT_FALSE(ReadFile(port, &a, 1, nullptr, &mine));
    ASSERT_TRUE(CancelIo(port));
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &mine, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(GetOverlappedResult(port, &theirs, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    device->Send({0x42});
    EXPECT_TRUE(GetOverlappedResult(port, &theirs, &n, TRUE));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(b, 0x42);
}

TEST_F(VirtualLine, SecondOpenIsRefusedAndTheFirstKeepsWorking) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    HANDLE second = CreateFileW(u"\\\\.\\com3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    DCB dcb{};
    EXPECT_TRUE(GetCommState(port, &dcb));
}

TEST_F(VirtualLine, AnEndThatTakesNoConnectionFailsTheOpenAfterTheGreetingsWait) {
    const std::string socket = home.Path() + "/run/stuck.sock";
    trelvane::testing::StuckListener stuck(socket);
    ASSERT_TRUE(stuck.Ok());
    ASSERT_EQ(::symlink(socket.c_str(), (home.Path() + "/dosdevices/com7").c_str()), 0);
    EXPECT_EQ(CreateFileW(u"COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
}

TEST_F(VirtualLine, UnpluggedDeviceFailsEveryOperation) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(device->WaitConnected(2s));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    OVERLAPPED ov = WithEvent();
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port, &events, &ov));
    device->Unplug();
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 2000), WAIT_OBJECT_0);
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(WriteFile(port, "x", 1, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    DCB dcb{};
    EXPECT_FALSE(GetCommState(port, &dcb));
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(device->Replug());
    EXPECT_NE(Open(), INVALID_HANDLE_VALUE);
}

TEST_F(VirtualLine, ClosingCompletesOutstandingOperationsAsAborted) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    OVERLAPPED ov = WithEvent();
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port, &events, &ov));
    CloseHandle(port);
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(platform::StatusToError(ov.Internal), ERROR_OPERATION_ABORTED);
    SetLastError(0);
    EXPECT_FALSE(GetCommMask(port, &events));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    port = INVALID_HANDLE_VALUE;
}

}  // namespace
}  // namespace trelvane
