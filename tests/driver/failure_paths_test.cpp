// What a client meets when the port or the device fails: each failing step
// of Open, a reset or an acknowledge that cannot be written, a reopen that
// fails, the battery test's line changes refused, and modem lines that can
// only be read.
#include "tests/driver/driver_fixture.h"
#include "tests/support/fake_serial_driver.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;
using trelvane::DeviceEnd;

const std::string kRefused = "The parameter is incorrect.\r\n";
const std::string kGone = "The device is not connected.\r\n";
const std::string kWriteFailed = "The request could not be performed because of an I/O device error.\r\n";
const std::string kTimedOut = "This operation returned because the timeout period expired.\r\n";

class FailurePaths : public DriverTest {
protected:
    void OpenAndTakeTheReset(LONG port = 3) {
        ASSERT_EQ(Open(port), 0);
        if (port == 3) {
            ASSERT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));
        }
        log.Clear();
    }
    HRESULT StartBatteryTest(const char16_t* selector) {
        return tarvik->StartBatteryTest(platform::Bstr(selector).Get());
    }
    LONG PortNumber() {
        LONG port = 0;
        tarvik->get_PortNumber(&port);
        return port;
    }
};

TEST_F(FailurePaths, EachFailingStepOfOpenHasItsStatusAndText) {
    using Drop = DeviceEnd::DropPoint;
    struct Case {
        const char* what;
        void (*arrange)(DeviceEnd&);
        LONG status;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"line settings refused",
         [](DeviceEnd& d) { d.RefuseSettings(true); },
         2,
         {"SystemError 'Port setting': " + kRefused}},
        {"cable pulled instead of the settings' answer",
         [](DeviceEnd& d) { d.DropAt(Drop::SettingsRequest); },
         2,
         {"SystemError 'Port setting': " + kGone}},
        {"cable pulled right after it",
         [](DeviceEnd& d) { d.DropAt(Drop::SettingsReply); },
         3,
         {"SystemError 'Event mask': " + kGone}},
        {"RTS refused",
         [](DeviceEnd& d) { d.RefuseControlLines(false, true); },
         5,
         {"SystemError 'Set RTS': " + kRefused, "SystemError 'Set RTS': " + kRefused}},
        {"DTR refused",
         [](DeviceEnd& d) { d.RefuseControlLines(true, false); },
         6,
         {"SystemError 'Set DTR': " + kRefused, "SystemError 'Reset DTR': " + kRefused}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange(*device);
        log.Clear();
        LONG status = -1;
        EXPECT_EQ(tarvik->Open(3, &status), S_FALSE);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(log.Texts(), c.events);  // no reset, no SP_PortOpened
        EXPECT_EQ(PortNumber(), -1);
        device->RefuseSettings(false);
        device->RefuseControlLines(false, false);
        // The port stayed half-open: Close closes it.
        log.Clear();
        EXPECT_EQ(tarvik->Close(), S_OK);
        EXPECT_EQ(log.Texts(), std::vector<std::string>{"SP_PortClosed"});
        ASSERT_TRUE(device->WaitDisconnected(2s));
    }
}

TEST_F(FailurePaths, AFailedReadOfTheLineSettingsIsStatusFour) {
    // Only a real port reads its settings from the device; here a serial
    // driver played in software fails that read.
    PtyPort pty(home.Path(), 5);
    ASSERT_TRUE(pty.Ok());
    FakeSerialDriver fake;
    {
        // The reads of the settings that Open makes before its own.
        CSerialSP channel;
        ASSERT_EQ(channel.OpenPort(u"COM5"), 0);
        ASSERT_EQ(channel.SetLineSettings(68, 8, CSerial::NoParity, CSerial::OneStopBit), 0);
        channel.Close();
    }
    fake.Fail(FakeSerialDriver::kGetState, EIO, fake.Calls(FakeSerialDriver::kGetState));
    EXPECT_EQ(Open(5), 4);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"SystemError 'COM state': " + kGone});
    EXPECT_EQ(tarvik->Close(), S_OK);
}

TEST_F(FailurePaths, AResetThatFailsInsideOpenLeavesTheDriverWithoutTick) {
    device->FailWrites(1);  // the first write of the next connection
    LONG status = -1;
    EXPECT_TRUE(FAILED(tarvik->Open(3, &status)));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"SystemError 'Reset': " + kWriteFailed});
    EXPECT_EQ(PortNumber(), 3);
    EXPECT_TRUE(device->Connected());
    device->SetDsr(true);
    ASSERT_TRUE(WaitLogged("InputReceived DSR"));
    Pump(400ms);
    EXPECT_TRUE(log.Named("StartPostStateChanged").empty());  // no tick reports it
}

TEST_F(FailurePaths, AFailedAcknowledgeIsReportedAndTheListenerGoesOn) {
    OpenAndTakeTheReset();
    device->FailWrites(1);
    ASSERT_TRUE(device->SendByte(0x3F));
    ASSERT_TRUE(PumpUntil([&] { return !log.Named("SystemError").empty(); }));
    EXPECT_EQ(log.Texts(),
              (std::vector<std::string>{"InputReceived Read: '0x3f'", "SystemError 'Acknowledge': " + kWriteFailed}));
    EXPECT_NE(log.Events().back().thread, GetCurrentThreadId());  // from the listener thread
    EXPECT_FALSE(device->ReadByte(100ms).has_value());
    // The byte was not taken: a whole frame after it decodes.
    log.Clear();
    for (std::uint8_t b : {0x1F, 0xFD, 0x1F}) SendAcknowledged(b);
    ASSERT_TRUE(device->SendByte(0xFD));
    EXPECT_TRUE(WaitLogged("StartNumberRequest 47"));
}

TEST_F(FailurePaths, ADeviceThatStopsReadingHoldsTheDriverNoLongerThanAWriteMayWait) {
    OpenAndTakeTheReset();
    const std::string timedOut = "SystemError 'Acknowledge': " + kTimedOut;
    const auto count = [&](const std::string& text) {
        const auto texts = log.Texts();
        return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
    };
    // Frame bytes whose acknowledges fill the line, and more behind them;
    // once an acknowledge has failed, the device reads again, and later
    // stops again and stays so.
    for (const bool readsAgain : {true, false}) {
        const std::size_t failed = count(timedOut);
        device->StallReading(true);
        ASSERT_TRUE(device->Send(std::vector<std::uint8_t>(3000, 0x3F)));
        const bool stopped = PumpUntil([&] { return count(timedOut) > failed; }, 30s);
        if (!stopped || readsAgain) device->StallReading(false);  // a driver stuck in its write goes on
        ASSERT_TRUE(stopped);
        if (readsAgain) {
            ASSERT_TRUE(PumpUntil([&] { return count("InputReceived Read: '0x3f'") == 3000; }, 30s));
        }
    }
    // The listener ends within its current write's wait: Close returns.
    EXPECT_EQ(tarvik->Close(), S_OK);
    EXPECT_TRUE(WaitLogged("SP_PortClosed"));
    // The device got the acknowledges reported written, and none of those
    // reported failed: not when it read again, nor when the port closed.
    device->StallReading(false);
    ASSERT_TRUE(device->WaitDisconnected(5s));
    const auto received = device->TakeReceived();
    EXPECT_EQ(static_cast<std::size_t>(std::count(received.begin(), received.end(), protocol::kAcknowledge)),
              count("InputReceived Write: '0xf0' (Acknowledge)"));
}

TEST_F(FailurePaths, EachFailureIsWordedFromItsOwnCode) {
    // The DTR change fails because the adapter is gone; a client's handler
    // of that report makes another change fail, for another reason, before
    // the battery test reports its own failure.
    PtyPort pty(home.Path(), 5);
    ASSERT_TRUE(pty.Ok());
    FakeSerialDriver fake;
    fake.HaveModemLines(true);
    fake.SetLines(FakeSerialDriver::kCts);  // the finish post is on line
    OpenAndTakeTheReset(5);
    fake.Fail(FakeSerialDriver::kSetLines, EIO);
    events->hook = [this](const std::string& text) {
        if (text.rfind("SystemError 'Set DTR'", 0) == 0) test->put_BaudRate(0);
    };
    EXPECT_EQ(StartBatteryTest(u"FinishPost"), S_FALSE);
    EXPECT_EQ(log.Texts(),
              (std::vector<std::string>{"SystemError 'Set DTR': " + kGone, "SystemError 'Set BaudRate': " + kRefused,
                                        "SystemError 'StartBatteryTest error setting state': " + kGone}));
    EXPECT_EQ(tarvik->Close(), S_OK);
}

TEST_F(FailurePaths, AFailedReopenAfterTheTimeoutStopsTheTickUntilTheNextOpen) {
    OpenAndTakeTheReset();
    tarvik->put_InterCharacterTimeout(200);
    events->hook = [this](const std::string& text) {
        if (text == "StartNumberFault 3,Intercharacter timeout") device->RefuseControlLines(false, true);
    };
    SendAcknowledged(0x3F);
    ASSERT_TRUE(WaitLogged("SP_PortClosed"));
    Pump(700ms);
    const std::vector<std::string> expected{"InputReceived Read: '0x3f'",
                                            "InputReceived Write: '0xf0' (Acknowledge)",
                                            "InputReceived Timeout",
                                            "StartNumberFault 3,Intercharacter timeout",
                                            "SP_PortClosed",
                                            "SystemError 'Set RTS': " + kRefused,
                                            "SystemError 'Set RTS': " + kRefused};
    EXPECT_EQ(log.Texts(), expected);  // one fault: no tick ran after the failed reopen
    EXPECT_EQ(PortNumber(), -1);
    // The client's next successful Open ends the pending timeout.
    events->hook = nullptr;
    device->RefuseControlLines(false, false);
    ASSERT_EQ(Open(), 0);
    Pump(500ms);
    EXPECT_EQ(log.Named("StartNumberFault").size(), 1u);
}

TEST_F(FailurePaths, BatteryTestThatCannotSetItsLinesDoesNotStart) {
    struct Case {
        const char16_t* selector;
        bool cts, dsr, refuseDtr, refuseRts;
        std::string failedLine;
    };
    for (const Case& c : {Case{u"StartPost", false, true, false, true, "Set RTS"},
                          Case{u"FinishPost", true, false, true, false, "Set DTR"}}) {
        SCOPED_TRACE(c.failedLine);
        device->SetModemLines(c.cts, c.dsr, false);
        OpenAndTakeTheReset();
        device->RefuseControlLines(c.refuseDtr, c.refuseRts);
        EXPECT_EQ(StartBatteryTest(c.selector), S_FALSE);
        EXPECT_EQ(log.Texts(),
                  (std::vector<std::string>{"SystemError '" + c.failedLine + "': " + kRefused,
                                            "SystemError 'StartBatteryTest error setting state': " + kRefused}));
        device->RefuseControlLines(false, false);
        EXPECT_EQ(StartBatteryTest(c.selector), S_OK);  // no measurement was running
        device->SetRlsd(true);                          // ends it
        ASSERT_TRUE(WaitLogged("InputReceived RLSD"));
        ASSERT_EQ(tarvik->Close(), S_OK);
        ASSERT_TRUE(device->WaitDisconnected(2s));
        device->SetRlsd(false);
    }
}

TEST_F(FailurePaths, AnRtsThatCannotBeResetAfterTheMeasurementLeavesTheVoltage) {
    device->SetModemLines(false, true, false);
    OpenAndTakeTheReset();
    ASSERT_EQ(StartBatteryTest(u"StartPost"), S_OK);
    device->RefuseControlLines(false, true);
    device->SetRlsd(true);
    ASSERT_TRUE(PumpUntil([&] { return !log.Named("BatteryTestReady").empty(); }));
    const auto errors = log.Named("SystemError");
    EXPECT_EQ(errors, (std::vector<std::string>{"SystemError 'Set RTS': " + kRefused,
                                                "SystemError 'StartBatteryTest': " + kRefused}));
    EXPECT_EQ(log.Named("BatteryTestReady")[0].rfind("BatteryTestReady StartPost,", 0), 0u);
    EXPECT_TRUE(device->Rts());  // still on
}

TEST_F(FailurePaths, StartPostChangesReachTheClientWhenTheLinesCanOnlyBeRead) {
    PtyPort pty(home.Path(), 5);
    ASSERT_TRUE(pty.Ok());
    FakeSerialDriver fake;
    fake.HaveModemLines(true);
    fake.Fail(FakeSerialDriver::kWaitLines, EPROTO);  // the wait fails in a way nobody expected
    OpenAndTakeTheReset(5);
    fake.SetLines(FakeSerialDriver::kDsr);
    EXPECT_TRUE(WaitLogged("StartPostStateChanged -1"));
    EXPECT_EQ(tarvik->Close(), S_OK);
}

}  // namespace
}  // namespace trelvane
