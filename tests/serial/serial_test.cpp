// CSerial: the result-code rules, line settings, modes and the OVERLAPPED choice.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "serial/serial.h"
#include "tools/device_end/device_end.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override {
        device = trelvane::DeviceEnd::Create(home.Path(), 2);
        ASSERT_TRUE(device);
    }
    trelvane::testing::TempHome home;
    std::unique_ptr<trelvane::DeviceEnd> device;
    CSerial serial;
};

TEST_F(SerialPort, OpenSetsTheDefaultMaskAndNonBlockingReads) {
    ASSERT_EQ(serial.Open(u"COM2", 0, 0, true), 0);
    EXPECT_EQ(serial.GetEventMask(), 0x00C1u);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(serial.PortHandle(), &t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(serial.Open(u"COM2", 0, 0, true), 1247);  // already open: the port stays as it is
    EXPECT_EQ(serial.LastErrorCode(), 1247);
    EXPECT_NE(serial.PortHandle(), nullptr);
    EXPECT_EQ(serial.GetBaudRate(), 9600u);
    EXPECT_EQ(serial.Open(u"COM2", 1024, 1024, false), 1247);
    EXPECT_EQ(serial.Close(), 0);
    EXPECT_EQ(serial.Close(), 0);
}

// A port whose steps of Open can be refused.
class RefusingPort : public CSerial {
public:
    LONG SetEventMask(DWORD mask) override { return refuseMask ? Fail(refuseMask) : CSerial::SetEventMask(mask); }
    LONG SetReadTimeoutMode(int mode) override {
        return refuseReadMode ? Fail(refuseReadMode) : CSerial::SetReadTimeoutMode(mode);
    }
    DWORD refuseMask = 0;
    DWORD refuseReadMode = 0;
};

TEST_F(SerialPort, ARefusedMaskStillOpensButARefusedReadModeLeavesNothingOpen) {
    RefusingPort port;
    port.refuseMask = ERROR_GEN_FAILURE;
    EXPECT_EQ(port.Open(u"COM2", 0, 0, true), 0);
    EXPECT_NE(port.PortHandle(), nullptr);
    EXPECT_EQ(port.Close(), 0);
    port.refuseMask = 0;
    port.refuseReadMode = ERROR_GEN_FAILURE;
    EXPECT_EQ(port.Open(u"COM2", 0, 0, true), static_cast<LONG>(ERROR_GEN_FAILURE));
    EXPECT_EQ(port.LastErrorCode(), static_cast<LONG>(ERROR_GEN_FAILURE));
    EXPECT_EQ(port.PortHandle(), nullptr);
    port.refuseReadMode = 0;
    EXPECT_EQ(port.Open(u"COM2", 0, 0, true), 0);
}

TEST_F(SerialPort, MissingDeviceThenAGoodOne) {
    EXPECT_EQ(serial.Open(u"COM250", 0, 0, true), 2);
    EXPECT_EQ(serial.PortHandle(), nullptr);
    EXPECT_EQ(serial.Open(u"COM2", 16, 16, true), 0);  // queue sizes are accepted
}

TEST_F(SerialPort, EveryOperationOnAClosedPortFailsWithSix) {
    BYTE byte = 0;
    DWORD n = 5;
    auto six = [this] { return serial.LastErrorCode() == 6; };
    EXPECT_EQ(serial.SetLineSettings(9600, 8, 0, 0), 6);
    EXPECT_EQ(serial.SetEventCharacter('x', true), 6);
    EXPECT_EQ(serial.SetEventMask(1), 6);
    EXPECT_EQ(serial.WaitForPortEvent(), 6);
    EXPECT_EQ(serial.SetHandshakeMode(0), 6);
    EXPECT_EQ(serial.SetReadTimeoutMode(0), 6);
    EXPECT_EQ(serial.GetBaudRate(), 0xFFFFFFFFu);
    EXPECT_TRUE(six());
    EXPECT_EQ(serial.GetDataBits(), -1);
    EXPECT_EQ(serial.GetParity(), -1);
    EXPECT_EQ(serial.GetStopBits(), -1);
    EXPECT_EQ(serial.GetHandshakeMode(), -1);
    EXPECT_EQ(serial.GetEventMask(), 0u);
    EXPECT_TRUE(six());
    EXPECT_EQ(serial.GetEventCharacter(), 0);
    EXPECT_TRUE(six());
    EXPECT_EQ(serial.WriteText("ab"), 6);
    EXPECT_EQ(serial.Write(&byte, 1, &n), 6);
    EXPECT_EQ(n, 0u);  // the count is cleared before any check
    n = 5;
    EXPECT_EQ(serial.Read(&byte, 1, &n), 6);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(serial.IsCtsOn());
    EXPECT_TRUE(six());  // the platform refused the null handle
    EXPECT_EQ(serial.Close(), 0);
    EXPECT_EQ(serial.LastErrorCode(), 0);
}

TEST_F(SerialPort, LineSettingsAndParityChecking) {
    ASSERT_EQ(serial.Open(u"COM2", 0, 0, true), 0);
    ASSERT_EQ(serial.SetLineSettings(9600, 8, 0, 0), 0);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(serial.PortHandle(), &dcb));
    EXPECT_EQ(dcb.fParity, 0u);
    ASSERT_EQ(serial.SetLineSettings(9600, 7, 2, 0), 0);
    ASSERT_TRUE(GetCommState(serial.PortHandle(), &dcb));
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(serial.GetParity(), 2);
    EXPECT_EQ(serial.GetDataBits(), 7);
    // With checking off, the parity getter reads 0 whatever the field holds.
    dcb.fParity = 0;
    ASSERT_TRUE(SetCommState(serial.PortHandle(), &dcb));
    EXPECT_EQ(serial.GetParity(), 0);
    ASSERT_EQ(serial.SetLineSettings(68, 8, 0, 0), 0);
    EXPECT_EQ(device->Settings().baud, 68u);
    EXPECT_EQ(serial.GetBaudRate(), 68u);
    EXPECT_EQ(serial.GetStopBits(), 0);
    // A value the platform rejects fails with its code and changes nothing.
    EXPECT_EQ(serial.SetLineSettings(68, 9, 0, 0), 87);
    EXPECT_EQ(serial.GetDataBits(), 8);
}

TEST_F(SerialPort, HandshakeModesRoundTripAndBadModesChangeNothing) {
    ASSERT_EQ(serial.Open(u"COM2", 0, 0, true), 0);
    for (int mode : {1, 2, 0}) {
        ASSERT_EQ(serial.SetHandshakeMode(mode), 0);
        EXPECT_EQ(serial.GetHandshakeMode(), mode);
    }
    ASSERT_EQ(serial.SetHandshakeMode(1), 0);
    EXPECT_TRUE(device->WaitLines([](bool dtr, bool rts) { return dtr && rts; }, 2s));
    DCB before{}, after{};
    ASSERT_TRUE(GetCommState(serial.PortHandle(), &before));
    EXPECT_EQ(serial.SetHandshakeMode(3), static_cast<LONG>(0x80070057));
    EXPECT_EQ(serial.LastErrorCode(), static_cast<LONG>(0x80070057));
    ASSERT_TRUE(GetCommState(serial.PortHandle(), &after));
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    ASSERT_EQ(serial.SetHandshakeMode(0), 0);  // also drops DTR and RTS
    EXPECT_TRUE(device->WaitLines([](bool dtr, bool rts) { return !dtr && !rts; }, 2s));

    EXPECT_EQ(serial.SetReadTimeoutMode(2), static_cast<LONG>(0x80070057));
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(serial.PortHandle(), &t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
}

TEST_F(SerialPort, EventCharacterAddsTheFlagToTheMask) {
    ASSERT_EQ(serial.Open(u"COM2", 0, 0, true), 0);
    ASSERT_EQ(serial.SetEventCharacter('\n', true), 0);
    EXPECT_EQ(serial.GetEventCharacter(), '\n');
    EXPECT_EQ(serial.GetEventMask(), 0x00C1u | EV_RXFLAG);
}

TEST_F(SerialPort, BlockingReadTimesOutAndLeavesNothingBehind) {
    ASSERT_EQ(serial.Open(u"COM2", 0, 0, true), 0);
    ASSERT_EQ(serial.SetReadTimeoutMode(CSerial::ReadBlocking), 0);
    BYTE buffer[4] = {};
    DWORD n = 7;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(serial.Read(buffer, 4, &n, nullptr, 100), 1460);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 95ms);
    EXPECT_EQ(n, 0u);
    // Nothing of that read is left: later bytes go to the next read.
    ASSERT_TRUE(device->Send({1, 2, 3, 4}));
    EXPECT_EQ(serial.Read(buffer, 4, &n, nullptr, 2000), 0);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(buffer[0], 1);
}

TEST_F(SerialPort, CallersOwnOverlappedReturnsAtOnce) {
    ASSERT_EQ(serial.Open(u"COM2", 0, 0, true), 0);
    ASSERT_EQ(serial.SetReadTimeoutMode(CSerial::ReadBlocking), 0);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BYTE byte = 0;
    DWORD n = 9;
    EXPECT_EQ(serial.Read(&byte, 1, &n, &ov, 0), 0);
    EXPECT_EQ(n, 0u);
    device->Send({0x55});
    EXPECT_TRUE(GetOverlappedResult(serial.PortHandle(), &ov, &n, TRUE));
    EXPECT_EQ(byte, 0x55);
    CloseHandle(ov.hEvent);
}

TEST_F(SerialPort, WriteTextWritesNoTerminator) {
    ASSERT_EQ(serial.Open(u"COM2", 0, 0, true), 0);
    DWORD n = 0;
    ASSERT_EQ(serial.WriteText("AB", &n), 0);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(device->ReadBytes(2, 5s), (std::vector<std::uint8_t>{'A', 'B'}));
    EXPECT_FALSE(device->ReadByte(200ms));
}

TEST_F(SerialPort, NonOverlappedPortRefusesOverlappedAndBoundedWaits) {
    ASSERT_EQ(serial.Open(u"COM2", 0, 0, false), 0);
    OVERLAPPED ov{};
    BYTE byte = 0;
    EXPECT_EQ(serial.Read(&byte, 1, nullptr, &ov), 1);
    EXPECT_EQ(serial.Write(&byte, 1, nullptr, &ov), 1);
    EXPECT_EQ(serial.WaitForPortEvent(&ov), 1);
    EXPECT_EQ(serial.Read(&byte, 1, nullptr, nullptr, 100), 1);
    EXPECT_EQ(serial.Write(&byte, 1, nullptr, nullptr, 100), 1);
    EXPECT_EQ(serial.WaitForPortEvent(nullptr, 100), 1);
    DWORD n = 0;
    EXPECT_EQ(serial.Write("z", 1, &n), 0);  // INFINITE and no OVERLAPPED is fine
    EXPECT_EQ(n, 1u);
}

TEST_F(SerialPort, WriteAndReadOnTwoThreadsEachEndOnTheirOwnCompletion) {
    ASSERT_EQ(serial.Open(u"COM2", 0, 0, true), 0);
    ASSERT_EQ(serial.SetReadTimeoutMode(CSerial::ReadBlocking), 0);
    std::atomic<bool> readDone{false};
    LONG readResult = -1;
    DWORD readCount = 0;
    BYTE buffer[2] = {};
    std::thread reader([&] {
        readResult = serial.Read(buffer, 2, &readCount, nullptr, 3000);
        readDone = true;
    });
    std::this_thread::sleep_for(50ms);
    // Many writes complete while the read waits; none may end it.
    for (int i = 0; i < 50; ++i) ASSERT_EQ(serial.Write("w", 1), 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(readDone.load());
    device->Send({9, 8});
    reader.join();
    EXPECT_EQ(readResult, 0);
    EXPECT_EQ(readCount, 2u);
    EXPECT_EQ(device->ReadBytes(50, 2s).size(), 50u);
}

}  // namespace
}  // namespace trelvane
