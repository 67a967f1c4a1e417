// The real-device backend on a pseudo-terminal: the byte path, 68 baud, line
// settings and exclusive access. Pseudo-terminals have no modem lines.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/comm/termios2.h"
#include "platform/windows.h"
#include "tests/support/ordinary_user.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;

class Pty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.Ok()); }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }
    HANDLE Open(DWORD flags = FILE_FLAG_OVERLAPPED) {
        port = CreateFileW(u"COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        return port;
    }
    trelvane::testing::TempHome home;
    trelvane::testing::PtyPort pty{home.Path(), 5};
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(Pty, SixtyEightBaudIsSetExactly) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 68;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port, &dcb));
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, 68u);
    // The kernel holds the same: a second look at the device agrees.
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, 68u);
}

TEST(TermiosMapping, LineSettingsRoundTripThroughTheKernelForm) {
    struct Case {
        std::uint8_t size, parity, stop;
        bool check;
    };
    for (Case c : {Case{7, EVENPARITY, ONESTOPBIT, true}, Case{8, ODDPARITY, TWOSTOPBITS, true},
                   Case{8, MARKPARITY, ONESTOPBIT, false}, Case{6, SPACEPARITY, ONESTOPBIT, true},
                   Case{5, NOPARITY, ONE5STOPBITS, false}, Case{8, NOPARITY, ONESTOPBIT, false}}) {
        platform::tty::LineConfig config;
        config.baud = 68;
        config.dataBits = c.size;
        config.parity = c.parity;
        config.stopBits = c.stop;
        config.parityCheck = c.check;
        const auto back = platform::tty::ThroughKernelForm(config);
        EXPECT_EQ(back.baud, 68u);
        EXPECT_EQ(back.dataBits, c.size);
        EXPECT_EQ(back.parity, c.parity);
        EXPECT_EQ(back.stopBits, c.stop);
        EXPECT_EQ(back.parityCheck, c.check);
    }
}

TEST_F(Pty, StopBitsAndParityCheckingReachTheDevice) {
    ASSERT_NE(Open(0), INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.StopBits = TWOSTOPBITS;
    dcb.Parity = EVENPARITY;
    dcb.fParity = 1;
    ASSERT_TRUE(SetCommState(port, &dcb));
    CloseHandle(port);  // read back what the device itself holds
    port = INVALID_HANDLE_VALUE;
    ASSERT_NE(Open(0), INVALID_HANDLE_VALUE);
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fParity, 1u);
}

TEST_F(Pty, BytesBothWays) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    if (!WriteFile(port, "\x01\xF0\x00", 3, &n, &ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE));
    }
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(pty.Receive(3, 2000), std::string("\x01\xF0\x00", 3));

    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD events = 0;
    if (!WaitCommEvent(port, &events, &ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    ASSERT_TRUE(pty.Send("\x7B\x3F"));
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(events, EV_RXCHAR);
    BYTE buffer[4] = {};
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    std::this_thread::sleep_for(20ms);
    if (!ReadFile(port, buffer, 4, &n, &ov)) {
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE));
    }
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(buffer[0], 0x7B);
    EXPECT_EQ(buffer[1], 0x3F);
    CloseHandle(ov.hEvent);
}

TEST_F(Pty, ModemStatusOfALineWithoutModemLinesIsAllOff) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    DWORD status = 0xFF;
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, 0u);
}

TEST_F(Pty, HeldByAnotherOpenIsAccessDenied) {
    trelvane::testing::ExclusiveHolder holder(pty.SlavePath());
    ASSERT_TRUE(holder.Ok());
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(Pty, AnotherUsersTerminalIsNotOpened) {
    SKIP_UNLESS_ABLE_TO_BE_NOBODY();  // only root can give it away
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(::chown(pty.SlavePath().c_str(), nobody->pw_uid, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_EQ(::chown(pty.SlavePath().c_str(), 0, static_cast<gid_t>(-1)), 0);  // root's devices are trusted
    EXPECT_NE(Open(), INVALID_HANDLE_VALUE);
}

TEST_F(Pty, AnOrdinaryUserOpensThePortAgainAfterClosingIt) {
    SKIP_UNLESS_ABLE_TO_BE_NOBODY();
    // The pseudo-terminal outlives each close (its other side stays open),
    // as a port that another program holds does.
    trelvane::testing::OpenToEveryone(home.Path());
    trelvane::testing::OpenToEveryone(pty.SlavePath());
    ASSERT_EQ(trelvane::testing::RawThreadCount(), 1);
    const std::string slave = pty.SlavePath();
    const std::string failure = trelvane::testing::RunAsOrdinaryUser([&slave]() -> std::string {
        for (int i = 0; i < 2; ++i) {
            HANDLE h = CreateFileW(u"COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
            if (h == INVALID_HANDLE_VALUE)
                return "open " + std::to_string(i + 1) + ": " + std::to_string(GetLastError());
            CloseHandle(h);
        }
        // Another program of the same user can have it too.
        trelvane::testing::ExclusiveHolder other(slave);
        return other.Ok() ? "" : "another program cannot open the port";
    });
    EXPECT_EQ(failure, "");
}

TEST_F(Pty, HangUpFailsTheOutstandingWait) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0, n = 0;
    ASSERT_FALSE(WaitCommEvent(port, &events, &ov));
    pty.CloseMaster();
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    CloseHandle(ov.hEvent);
}

}  // namespace
}  // namespace trelvane
