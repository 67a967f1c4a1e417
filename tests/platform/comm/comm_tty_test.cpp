// The real-device backend against a serial driver played in software below
// it (the line settings still reach a pseudo-terminal): the modem-line
// watcher, the counters, a rate the adapter cannot run, and how the driver's
// errors become the platform's codes.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "platform/windows.h"
#include "tests/support/fake_serial_driver.h"
#include "tests/support/ordinary_user.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;
using trelvane::testing::FakeSerialDriver;

class TtyBackend : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.Ok()); }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }
    HANDLE Open() {
        port = CreateFileW(u"COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
        return port;
    }
    // Collects port events until all of wanted have come, for at most two seconds.
    DWORD EventsUntil(DWORD wanted) {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD seen = 0;
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while ((seen & wanted) != wanted && std::chrono::steady_clock::now() < deadline) {
            DWORD events = 0, n = 0;
            if (!WaitCommEvent(port, &events, &ov)) {
                if (GetLastError() != ERROR_IO_PENDING) break;
                if (WaitForSingleObject(ov.hEvent, 2000) != WAIT_OBJECT_0) {
                    CancelIo(port);
                    GetOverlappedResult(port, &ov, &n, TRUE);
                    break;
                }
                if (!GetOverlappedResult(port, &ov, &n, FALSE)) break;
            }
            seen |= events;
        }
        CloseHandle(ov.hEvent);
        return seen;
    }
    void WaitUntilWatching(int waits = 1) {
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (driver.WaitsEntered() < waits && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        ASSERT_GE(driver.WaitsEntered(), waits);
    }

    trelvane::testing::TempHome home;
    trelvane::testing::PtyPort pty{home.Path(), 5};
    FakeSerialDriver driver;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(TtyBackend, ModemLineChangesBecomeEventsAndStates) {
    driver.HaveModemLines(true);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
    WaitUntilWatching();
    driver.SetLines(FakeSerialDriver::kCts | FakeSerialDriver::kCar);
    EXPECT_EQ(EventsUntil(EV_CTS | EV_RLSD), EV_CTS | EV_RLSD);
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_RLSD_ON);
    // DTR and RTS follow the line settings, one line at a time.
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(driver.ControlLines(), FakeSerialDriver::kDtr);
}

TEST_F(TtyBackend, ALineThatChangesAndChangesBackIsStillAnEvent) {
    driver.HaveModemLines(true);
    driver.HaveCounters(true);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_DSR));
    WaitUntilWatching();
    driver.Bounce(FakeSerialDriver::kDsr);
    EXPECT_EQ(EventsUntil(EV_DSR), EV_DSR);
}

TEST_F(TtyBackend, AChangeJustBeforeTheWatcherWaitsAgainIsReported) {
    driver.HaveModemLines(true);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_DSR));
    WaitUntilWatching();
    // CTS wakes the watcher; DSR changes after it has looked and before its
    // next wait takes the lines' counts, so that wait alone never sees it.
    driver.SetLinesAtNextWait(FakeSerialDriver::kCts | FakeSerialDriver::kDsr);
    driver.SetLines(FakeSerialDriver::kCts);
    EXPECT_EQ(EventsUntil(EV_CTS | EV_DSR), EV_CTS | EV_DSR);
}

TEST_F(TtyBackend, WatcherReadsTheLinesWhenItCannotWaitForThem) {
    // ENOTTY: a driver without the wait (cp210x); EPROTO: a wait that fails
    // in a way nobody expected.
    for (int error : {ENOTTY, EPROTO}) {
        SCOPED_TRACE(error);
        driver.HaveModemLines(true);
        driver.SetLines(0);
        driver.Fail(FakeSerialDriver::kWaitLines, error);
        ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetCommMask(port, EV_DSR));
        std::this_thread::sleep_for(100ms);  // the wait has failed by now
        driver.SetLines(FakeSerialDriver::kDsr);
        EXPECT_EQ(EventsUntil(EV_DSR), EV_DSR);
        driver.SetLines(0);
        EXPECT_EQ(EventsUntil(EV_DSR), EV_DSR);
        CloseHandle(port);
        port = INVALID_HANDLE_VALUE;
    }
}

TEST_F(TtyBackend, LineErrorsComeFromTheDriversCounters) {
    driver.HaveCounters(true);
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_BREAK | EV_ERR));
    driver.CountLineErrors(1, 1, 1, 1);
    ASSERT_TRUE(pty.Send("x"));  // the counters are compared when bytes come in
    EXPECT_EQ(EventsUntil(EV_RXCHAR | EV_BREAK | EV_ERR), EV_RXCHAR | EV_BREAK | EV_ERR);
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_BREAK);
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
}

TEST_F(TtyBackend, ARateTheAdapterCannotRunIsRefused) {
    driver.ReadBackRate(300);  // as cp210x does with anything under 300
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 68;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 300u);
}

TEST_F(TtyBackend, DriverErrorsBecomeThePlatformsCodes) {
    enum class Step { Open, SetState, GetState, ModemStatus };
    struct Case {
        unsigned long request;
        int error;
        Step step;
        DWORD expected;
    };
    const Case cases[] = {
        {FakeSerialDriver::kExclusive, EBUSY, Step::Open, ERROR_ACCESS_DENIED},
        {FakeSerialDriver::kGetState, EIO, Step::Open, ERROR_DEVICE_NOT_CONNECTED},
        {FakeSerialDriver::kSetState, EINVAL, Step::SetState, ERROR_INVALID_PARAMETER},
        {FakeSerialDriver::kSetState, EIO, Step::SetState, ERROR_DEVICE_NOT_CONNECTED},
        {FakeSerialDriver::kGetState, ENOMEM, Step::GetState, ERROR_NOT_ENOUGH_MEMORY},
        {FakeSerialDriver::kGetLines, EIO, Step::ModemStatus, ERROR_DEVICE_NOT_CONNECTED},
    };
    driver.HaveModemLines(true);
    driver.Fail(FakeSerialDriver::kWaitLines, ENOTTY);  // a watcher that only reads the lines
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        if (c.step == Step::Open) driver.Fail(c.request, c.error);
        ASSERT_EQ(Open() == INVALID_HANDLE_VALUE, c.step == Step::Open);
        if (c.step == Step::Open) {
            EXPECT_EQ(GetLastError(), c.expected);
        } else {
            driver.Fail(c.request, c.error);
            DCB dcb{};
            DWORD status = 0;
            BOOL ok = FALSE;
            switch (c.step) {
            case Step::SetState:
                dcb.DCBlength = sizeof dcb;
                dcb.BaudRate = 68;
                dcb.ByteSize = 8;
                ok = SetCommState(port, &dcb);
                break;
            case Step::GetState: ok = GetCommState(port, &dcb); break;
            default: ok = GetCommModemStatus(port, &status); break;
            }
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), c.expected);
            CloseHandle(port);
            port = INVALID_HANDLE_VALUE;
        }
        driver.Fail(c.request, 0, 1 << 30);  // no more
    }
}

TEST_F(TtyBackend, AWatcherThatCannotStartFailsTheOpen) {
    SKIP_UNLESS_ABLE_TO_BE_NOBODY();
    // An ordinary user may start only so many threads: here the watcher
    // cannot start.
    driver.HaveModemLines(true);
    trelvane::testing::OpenToEveryone(home.Path());
    trelvane::testing::OpenToEveryone(pty.SlavePath());
    ASSERT_EQ(trelvane::testing::RawThreadCount(), 1);
    const std::string failure = trelvane::testing::RunAsOrdinaryUser([]() -> std::string {
        const rlim_t tasks = static_cast<rlim_t>(trelvane::testing::TasksOfOrdinaryUser());
        rlimit limit{};
        getrlimit(RLIMIT_NPROC, &limit);
        const rlim_t soft = limit.rlim_cur;
        limit.rlim_cur = tasks;
        if (setrlimit(RLIMIT_NPROC, &limit) != 0) return "setrlimit failed";
        HANDLE h = CreateFileW(u"COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE) return "the open succeeded";
        if (GetLastError() != ERROR_NOT_ENOUGH_MEMORY) return "error " + std::to_string(GetLastError());
        limit.rlim_cur = soft;
        setrlimit(RLIMIT_NPROC, &limit);
        // Nothing of the failed open holds the port.
        h = CreateFileW(u"COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                        nullptr);
        if (h == INVALID_HANDLE_VALUE) return "the second open failed: " + std::to_string(GetLastError());
        CloseHandle(h);
        return "";
    });
    EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace trelvane
