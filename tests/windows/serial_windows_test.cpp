// CSerial and CSerialSP built for Windows, on Wine's serial calls: a pty
// linked as COM8 is the device.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "serial/serial_sp.h"
#include "tests/serial/recording.h"
#include "tests/windows/pty_device_link.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;
using trelvane::testing::PtyDevice;
using trelvane::testing::Recorder;

class SerialOnWine : public ::testing::Test {
protected:
    PtyDevice device{8};
};

TEST_F(SerialOnWine, OpenSettingsAndResultCodes) {
    CSerial serial;
    EXPECT_EQ(serial.Open(TEXT("COM250"), 0, 0, true), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(serial.PortHandle(), nullptr);
    EXPECT_EQ(serial.SetEventMask(EV_RXCHAR), static_cast<LONG>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(serial.GetBaudRate(), 0xFFFFFFFFu);

    ASSERT_EQ(serial.Open(TEXT("COM8"), 0, 0, true), 0);
    EXPECT_EQ(serial.GetEventMask(), CSerial::DefaultEventMask);
    EXPECT_EQ(serial.Open(TEXT("COM8"), 0, 0, true), static_cast<LONG>(ERROR_ALREADY_INITIALIZED));
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(serial.PortHandle(), &t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);

    // A pty keeps 8 data bits and no parity whatever it is asked for; the
    // rate and the stop bits it keeps.
    ASSERT_EQ(serial.SetLineSettings(4800, 8, CSerial::NoParity, CSerial::TwoStopBits), 0);
    EXPECT_EQ(serial.GetBaudRate(), 4800u);
    EXPECT_EQ(serial.GetDataBits(), 8);
    EXPECT_EQ(serial.GetParity(), CSerial::NoParity);
    EXPECT_EQ(serial.GetStopBits(), CSerial::TwoStopBits);
    ASSERT_EQ(serial.SetHandshakeMode(CSerial::HandshakeSoftware), 0);
    EXPECT_EQ(serial.GetHandshakeMode(), CSerial::HandshakeSoftware);
    EXPECT_EQ(serial.SetHandshakeMode(7), static_cast<LONG>(E_INVALIDARG));
    EXPECT_EQ(serial.GetHandshakeMode(), CSerial::HandshakeSoftware);
    EXPECT_EQ(serial.Close(), 0);
    EXPECT_EQ(serial.Close(), 0);
}

// The start post's 68 baud: Wine takes it, but sets 38400 with a divisor
// that a pty ignores, and reads back 38400.
TEST_F(SerialOnWine, SixtyEightBaudReadsBackAs38400) {
    CSerial serial;
    ASSERT_EQ(serial.Open(TEXT("COM8"), 0, 0, true), 0);
    ASSERT_EQ(serial.SetLineSettings(68, 8, CSerial::NoParity, CSerial::OneStopBit), 0);
    EXPECT_EQ(serial.GetBaudRate(), 38400u);
}

TEST_F(SerialOnWine, WritesReachTheDeviceAndBoundedReadsTimeOut) {
    CSerial serial;
    ASSERT_EQ(serial.Open(TEXT("COM8"), 0, 0, true), 0);
    DWORD written = 0;
    ASSERT_EQ(serial.WriteText("F0\n", &written), 0);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(device.Receive(3, 10000), (std::vector<std::uint8_t>{'F', '0', '\n'}));

    ASSERT_EQ(serial.SetReadTimeoutMode(CSerial::ReadBlocking), 0);
    BYTE byte = 0;
    DWORD read = 5;
    EXPECT_EQ(serial.Read(&byte, 1, &read, nullptr, 100), static_cast<LONG>(ERROR_TIMEOUT));
    EXPECT_EQ(read, 0u);
    // The cancelled read took nothing: the next byte goes to the next read.
    device.Send({0x55});
    ASSERT_EQ(serial.Read(&byte, 1, &read), 0);
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(byte, 0x55);
}

TEST_F(SerialOnWine, ModemLinesBothWays) {
    CSerial serial;
    ASSERT_EQ(serial.Open(TEXT("COM8"), 0, 0, true), 0);
    device.SetLines(true, false, true);
    EXPECT_TRUE(serial.IsCtsOn());
    EXPECT_FALSE(serial.IsDsrOn());
    EXPECT_TRUE(serial.IsRlsdOn());
    EXPECT_EQ(serial.LastErrorCode(), 0);
    ASSERT_EQ(serial.SetHandshakeMode(CSerial::HandshakeOff), 0);
    EXPECT_EQ(device.OutputLines(), "0 0");  // both lines disabled
}

struct Call {
    BYTE value;
    std::string text;
};

void Record(void* userData, BYTE value, const char* text) {
    static_cast<Recorder<Call>*>(userData)->Add({value, text});
}

// A channel that counts the port-event waits its listener has issued. Under
// Wine a line change counts only against the lines as they were when the
// wait was issued: one that comes before is lost (the platform records it
// for the next wait), so the device changes a line only once a wait is out.
class ArmedChannel : public CSerialSP {
public:
    LONG WaitForPortEvent(LPOVERLAPPED overlapped, DWORD timeout) override {
        const LONG result = CSerialSP::WaitForPortEvent(overlapped, timeout);
        waits.Add(result);
        return result;
    }
    HANDLE Listener() const { return m_thread; }
    Recorder<LONG> waits;
};

// Wine ends a port-event wait that a new mask completes with 995, where the
// platform completes it with no events: the listener takes that for a failed
// port and ends.
TEST_F(SerialOnWine, ANewMaskEndsTheListenerUnderWine) {
    ArmedChannel channel;
    ASSERT_EQ(channel.OpenPort(TEXT("COM8")), 0);
    ASSERT_TRUE(channel.waits.WaitFor(1, 10s));
    ASSERT_EQ(channel.SetEventMask(CSerialSP::DeviceEventMask), 0);
    ASSERT_EQ(WaitForSingleObject(channel.Listener(), 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(channel.ListenerEnded(&code));
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(SerialOnWine, TheChannelReportsLinesAndBytesFromItsListener) {
    ArmedChannel channel;
    Recorder<Call> calls;
    // The mask before the listener starts, since a new mask would end it:
    // the driver's order.
    ASSERT_EQ(channel.OpenPort(TEXT("COM8"), false), 0);
    ASSERT_EQ(channel.SetEventMask(CSerialSP::DeviceEventMask), 0);
    channel.SetCallback(Record, &calls);
    ASSERT_EQ(channel.StartListener(), 0);

    // One change at a time, each once the listener waits again.
    const auto step = [&](std::size_t n, auto change) {
        ASSERT_TRUE(channel.waits.WaitFor(n, 10s));
        change();
        ASSERT_TRUE(calls.WaitFor(n, 10s)) << "no callback for change " << n;
    };
    step(1, [&] { device.SetLines(true, false, false); });
    step(2, [&] { device.SetLines(true, true, false); });
    step(3, [&] { device.SetLines(true, true, true); });
    step(4, [&] { device.Send({0x3F}); });
    step(5, [&] { device.SetLines(false, true, true); });

    std::vector<std::string> texts;
    std::vector<int> values;
    for (const auto& call : calls.Items()) {
        texts.push_back(call.text);
        values.push_back(call.value);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"CTS", "DSR", "RLSD", "Read: '0x3f'", "CTS"}));
    EXPECT_EQ(values, (std::vector<int>{1, 1, 1, 0x3F, 0}));
    EXPECT_EQ(channel.Close(), 0);
}

}  // namespace
}  // namespace trelvane
