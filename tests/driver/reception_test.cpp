// Start numbers from the device to the clients, device commands, the
// inter-character timeout and the tick.
#include <atomic>
#include <utility>

#include "tests/driver/driver_fixture.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;

class Reception : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(Open(), 0);
        ASSERT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));  // the reset
        log.Clear();
    }
    void SendFrame(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
        SendAcknowledged(a);
        SendAcknowledged(b);
        SendAcknowledged(c);
        ASSERT_TRUE(device->SendByte(d));
        ASSERT_TRUE(PumpUntil([&] { return log.Named("InputReceived Read").size() >= 4; }));
    }
};

TEST_P(Reception, TheExchangeForOneHundredTwentyThree) {
    SendFrame(0x3F, 0x7B, 0x3F, 0x7B);
    EXPECT_FALSE(device->ReadByte(100ms).has_value());  // nothing after the fourth byte
    ASSERT_TRUE(WaitLogged("StartNumberRequest 123"));
    const std::vector<std::string> expected{"InputReceived Read: '0x3f'", "InputReceived Write: '0xf0' (Acknowledge)",
                                            "InputReceived Read: '0x7b'", "InputReceived Write: '0xf0' (Acknowledge)",
                                            "InputReceived Read: '0x3f'", "InputReceived Write: '0xf0' (Acknowledge)",
                                            "InputReceived Read: '0x7b'", "StartNumberRequest 123"};
    EXPECT_EQ(log.Texts(), expected);
    // Listener-thread events for the line, main-thread events from the tick;
    // a client in another process gets them all on its own thread.
    const auto events = log.Events();
    if (Remote()) {
        for (const auto& e : events) EXPECT_EQ(e.thread, GetCurrentThreadId());
    } else {
        EXPECT_NE(events.front().thread, GetCurrentThreadId());
        EXPECT_EQ(events.back().thread, GetCurrentThreadId());
    }

    EXPECT_EQ(tarvik->StartNumberOK(124), S_FALSE);
    EXPECT_FALSE(device->ReadByte(100ms).has_value());
    EXPECT_EQ(tarvik->StartNumberOK(123), S_OK);
    EXPECT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kAcknowledge));
    EXPECT_EQ(tarvik->StartNumberOK(123), S_OK);  // again: the number stays
    EXPECT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kAcknowledge));
    EXPECT_EQ(log.Texts().back(), "InputReceived Write: '0xf0' (Acknowledge)");
}

TEST_P(Reception, FramesDecodeOrFail) {
    struct Case {
        std::uint8_t bytes[4];
        std::string event;
        LONG number;
    };
    const Case cases[] = {
        {{0x35, 0x7B, 0x35, 0x7B}, "StartNumberRequest 123", 123},  // the first digit is ignored
        {{0xFF, 0xFF, 0xFF, 0xFF}, "StartNumberRequest 0", 0},
        {{0x1F, 0xFD, 0x1F, 0xFD}, "StartNumberRequest 47", 47},
        {{0x3F, 0x7B, 0x3F, 0x7C}, "StartNumberFault 1,Bytes in 1st and 2nd set not equal", -1},
    };
    for (const auto& c : cases) {
        log.Clear();
        SendFrame(c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3]);
        ASSERT_TRUE(WaitLogged(c.event)) << c.event;
        LONG number = 0;
        tarvik->get_StartNumber(&number);
        EXPECT_EQ(number, c.number);
    }
    // After a failed check -1 matches, and the acknowledge goes out.
    EXPECT_EQ(tarvik->StartNumberOK(-1), S_OK);
    EXPECT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kAcknowledge));
}

TEST_P(Reception, NullAndAcknowledgeBytesAreReportedButNotTaken) {
    ASSERT_TRUE(device->Send({protocol::kReset, protocol::kAcknowledge}));
    ASSERT_TRUE(PumpUntil([&] { return log.Named("InputReceived Read").size() == 2; }));
    EXPECT_FALSE(device->ReadByte(100ms).has_value());  // no acknowledge
    SendFrame(0x3F, 0x7B, 0x3F, 0x7B);
    EXPECT_TRUE(WaitLogged("StartNumberRequest 123"));
    EXPECT_EQ(log.Named("InputReceived Read").front(), "InputReceived Read: '0'");
    EXPECT_EQ(log.Named("InputReceived Read")[1], "InputReceived Read: '0xf0'");
}

TEST_P(Reception, TwoFramesBetweenTicksGiveOneRequestWithTheSecond) {
    // The tick only runs while this thread pumps messages.
    for (std::uint8_t b : {0x3F, 0x7B, 0x3F}) SendAcknowledged(b);
    device->SendByte(0x7B);
    for (std::uint8_t b : {0x1F, 0xFD, 0x1F}) SendAcknowledged(b);
    device->SendByte(0xFD);
    ASSERT_TRUE(PumpUntil([&] { return !log.Named("StartNumber").empty(); }));
    Pump(300ms);
    EXPECT_EQ(log.Named("StartNumber"), std::vector<std::string>{"StartNumberRequest 47"});
}

TEST_P(Reception, LineChangesBetweenTicksGiveOneEventWithTheStateAtTheTick) {
    device->SetDsr(true);
    device->SetDsr(false);
    device->SetCts(true);
    ASSERT_TRUE(PumpUntil([&] { return !log.Named("FinishPostStateChanged").empty(); }));
    Pump(300ms);
    EXPECT_EQ(log.Named("StartPostStateChanged"), std::vector<std::string>{"StartPostStateChanged 0"});
    EXPECT_EQ(log.Named("FinishPostStateChanged"), std::vector<std::string>{"FinishPostStateChanged -1"});
    EXPECT_FALSE(log.Named("InputReceived DSR").empty());
}

TEST_P(Reception, SilenceInAFrameReopensThePort) {
    tarvik->put_InterCharacterTimeout(200);
    SendAcknowledged(0x3F);
    ASSERT_TRUE(WaitLogged("SP_PortOpened"));
    const std::vector<std::string> expected{"InputReceived Read: '0x3f'",
                                            "InputReceived Write: '0xf0' (Acknowledge)",
                                            "InputReceived Timeout",
                                            "StartNumberFault 3,Intercharacter timeout",
                                            "SP_PortClosed",
                                            "InputReceived Write: '0' (Reset)",
                                            "SP_Reset",
                                            "SP_PortOpened"};
    EXPECT_EQ(log.Texts(), expected);
    EXPECT_EQ(device->Connections(), 2);  // the same port, opened again
    EXPECT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));
    LONG port = 0;
    tarvik->get_PortNumber(&port);
    EXPECT_EQ(port, 3);
    // The reopened port receives the next frame from scratch.
    log.Clear();
    tarvik->put_InterCharacterTimeout(1500);
    SendFrame(0x3F, 0x7B, 0x3F, 0x7B);
    EXPECT_TRUE(WaitLogged("StartNumberRequest 123"));
}

TEST_P(Reception, AHandlerThatRunsAMessageLoopGetsTheTimeoutFaultOnce) {
    // A modal dialog in the handler: the tick's timer comes again meanwhile.
    tarvik->put_InterCharacterTimeout(200);
    bool dialogShown = false;
    events->hook = [&](const std::string& text) {
        if (text == "StartNumberFault 3,Intercharacter timeout" && !std::exchange(dialogShown, true)) Pump(600ms);
    };
    SendAcknowledged(0x3F);
    ASSERT_TRUE(WaitLogged("SP_PortOpened"));
    events->hook = nullptr;
    Pump(300ms);
    EXPECT_EQ(log.Named("StartNumberFault").size(), 1u);
    EXPECT_EQ(log.Named("SP_PortClosed").size(), 1u);
    EXPECT_EQ(device->Connections(), 2);  // closed and opened once
}

// In process only: the handler's Close runs inside the tick's raise, before
// the tick would reopen the port. To a client in another process the event
// went one-way: the tick reopens the port and the client's Close then
// closes it again.
TEST_F(Reception, ClosingInTheTimeoutFaultHandlerKeepsThePortClosed) {
    tarvik->put_InterCharacterTimeout(200);
    events->hook = [this](const std::string& text) {
        if (text == "StartNumberFault 3,Intercharacter timeout") tarvik->Close();
    };
    SendAcknowledged(0x3F);
    ASSERT_TRUE(WaitLogged("SP_PortClosed"));
    Pump(300ms);
    EXPECT_TRUE(log.Named("SystemError").empty());
    EXPECT_TRUE(device->WaitDisconnected(2s));
    EXPECT_EQ(device->Connections(), 1);
}

TEST_P(Reception, CloseFromTheListenerThreadAlsoClosesAHalfOpenPort) {
    // The callback stays registered over Close; an Open that fails half-way
    // leaves a port with its listener and no tick.
    ASSERT_EQ(tarvik->Close(), S_OK);
    device->RefuseControlLines(false, true);
    ASSERT_EQ(Open(), 5);
    ASSERT_TRUE(device->WaitConnected(2s));
    testEvents->hook = [this](const std::string& text) {
        if (text == "InputReceived Read: '0x11'") tarvik->Close();
    };
    log.Clear();
    ASSERT_TRUE(device->SendByte(0x11));
    EXPECT_TRUE(WaitLogged("SP_PortClosed"));
    EXPECT_TRUE(device->WaitDisconnected(2s));
}

TEST_P(Reception, ClientCallsFromInsideEventHandlers) {
    // StartNumberOK from the StartNumberRequest handler (on the client's thread).
    events->hook = [this](const std::string& text) {
        if (text == "StartNumberRequest 123") tarvik->StartNumberOK(123);
    };
    SendFrame(0x3F, 0x7B, 0x3F, 0x7B);
    ASSERT_TRUE(WaitLogged("StartNumberRequest 123"));
    EXPECT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kAcknowledge));
    // Close from an event on the listener thread: done at the next tick (in
    // another process at once, on the server's main thread), no hang.
    testEvents->hook = [this](const std::string& text) {
        if (text == "InputReceived Read: '0x11'") tarvik->Close();
    };
    SendAcknowledged(0x11);
    ASSERT_TRUE(WaitLogged("SP_PortClosed"));
    EXPECT_TRUE(device->WaitDisconnected(2s));
    testEvents->hook = nullptr;
    // Close from an event on the client's thread.
    ASSERT_EQ(Open(), 0);
    events->hook = [this](const std::string& text) {
        if (text.rfind("StartNumberRequest", 0) == 0) tarvik->Close();
    };
    log.Clear();
    test->put_StartNumberTest(5);
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"StartNumberRequest 5", "SP_PortClosed"}));
}

TEST_P(Reception, ResetEmptiesTheFrame) {
    SendAcknowledged(0x3F);
    ASSERT_EQ(tarvik->ResetStartPost(), S_OK);
    EXPECT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));
    SendFrame(0x1F, 0xFD, 0x1F, 0xFD);  // a whole frame after the reset
    EXPECT_TRUE(WaitLogged("StartNumberRequest 47"));
}

// In process only, where the handlers run inside the driver's own calls and
// so fix the order of the two threads.
TEST_F(Reception, AFrameThatAnswersTheResetAtOnceIsKeptWhole) {
    // The device answers the reset before the call has returned: the first
    // two bytes of the new frame are in before the client sees SP_Reset.
    // (Hooks are set while the listener is idle and stay.)
    testEvents->hook = [this](const std::string& text) {
        if (text != "SP_Reset") return;
        ASSERT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));
        SendAcknowledged(0x1F);
        ASSERT_TRUE(device->SendByte(0xFD));
        ASSERT_TRUE(PumpUntil([&] { return Logged("InputReceived Read: '0xfd'"); }));
    };
    SendAcknowledged(0x3F);  // an old frame, cut short by the reset
    ASSERT_EQ(tarvik->ResetStartPost(), S_OK);
    EXPECT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kAcknowledge));  // the second byte's
    SendAcknowledged(0x1F);
    ASSERT_TRUE(device->SendByte(0xFD));
    // The whole frame, before the inter-character timeout could end it.
    ASSERT_TRUE(WaitLogged("StartNumberRequest 47"));
    EXPECT_TRUE(log.Named("StartNumberFault").empty());
    EXPECT_EQ(device->Connections(), 1);
}

TEST_F(Reception, AByteWhoseAcknowledgeRacesAResetIsDropped) {
    // The reset comes while the listener writes the byte's acknowledge,
    // before it stores the byte: the byte belongs to the frame before.
    testEvents->hook = [this](const std::string& text) {
        if (text == "InputReceived Write: '0xf0' (Acknowledge)" && log.Named("SP_Reset").empty())
            tarvik->ResetStartPost();
    };
    SendAcknowledged(0x3F);
    ASSERT_TRUE(WaitLogged("SP_Reset"));
    EXPECT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));
    SendFrame(0x1F, 0xFD, 0x1F, 0xFD);
    EXPECT_TRUE(WaitLogged("StartNumberRequest 47"));
}

TEST_F(Reception, TheAcknowledgeReachesTheDeviceWhileASinkStillHandlesTheByte) {
    // The sink holds the listener in its handler of the byte's "Read" until
    // the acknowledge is at the device (or the bound runs out).
    // The hook stays (the listener reads it after logging): it acts once.
    std::optional<std::uint8_t> seenMeanwhile;
    std::atomic<bool> held{false};
    testEvents->hook = [&](const std::string& text) {
        if (text == "InputReceived Read: '0x3f'" && !held.exchange(true)) seenMeanwhile = device->ReadByte(2s);
    };
    ASSERT_TRUE(device->SendByte(0x3F));
    ASSERT_TRUE(WaitLogged("InputReceived Write: '0xf0' (Acknowledge)"));
    EXPECT_EQ(seenMeanwhile, std::optional<std::uint8_t>(protocol::kAcknowledge));
    EXPECT_EQ(log.Texts(),
              (std::vector<std::string>{"InputReceived Read: '0x3f'", "InputReceived Write: '0xf0' (Acknowledge)"}));
    // The byte was stored: the frame completes.
    for (std::uint8_t b : {0x7B, 0x3F}) SendAcknowledged(b);
    ASSERT_TRUE(device->SendByte(0x7B));
    EXPECT_TRUE(WaitLogged("StartNumberRequest 123"));
}

TEST_P(Reception, AResetThatCannotBeWrittenLeavesTheFrame) {
    SendAcknowledged(0x3F);
    device->FailWrites(1);
    // A byte that is never part of a frame: once it is in, so is the fault.
    ASSERT_TRUE(device->SendByte(protocol::kAcknowledge));
    ASSERT_TRUE(WaitLogged("InputReceived Read: '0xf0'"));
    EXPECT_TRUE(FAILED(tarvik->ResetStartPost()));
    EXPECT_TRUE(log.Named("SP_Reset").empty());
    // The device was not reset: the rest of its frame completes the number.
    SendAcknowledged(0x7B);
    SendAcknowledged(0x3F);
    ASSERT_TRUE(device->SendByte(0x7B));
    EXPECT_TRUE(WaitLogged("StartNumberRequest 123"));
}

TEST_P(Reception, WriteToPortSendsTheTextSlowlyAndSummarises) {
    const platform::Bstr text(TEXT("AB"));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(test->WriteToPort(text.Get()), S_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);  // 100 ms after every byte
    EXPECT_EQ(device->ReadBytes(3, 2s), (std::vector<std::uint8_t>{0x41, 0x42, 0x0A}));
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{
                               "InputReceived Write: '0x41' (WriteToPort)", "InputReceived Write: '0x42' (WriteToPort)",
                               "InputReceived Write: '0xa' (WriteToPort)", "SystemError Write 3 bytes: 'AB'"}));
    // An empty text writes just the line feed.
    log.Clear();
    ASSERT_EQ(test->WriteToPort(platform::Bstr(TEXT("")).Get()), S_OK);
    EXPECT_EQ(device->ReadBytes(1, 2s), std::vector<std::uint8_t>{0x0A});
    EXPECT_EQ(log.Texts().back(), "SystemError Write 1 bytes: ''");
    // A text beyond the limits writes nothing and says why.
    log.Clear();
    EXPECT_EQ(test->WriteToPort(platform::Bstr(platform::WString(181, TEXT('x'))).Get()), E_INVALIDARG);
    EXPECT_FALSE(device->ReadByte(200ms).has_value());
    ASSERT_EQ(log.Texts().size(), 1u);
    EXPECT_EQ(log.Texts()[0].rfind("SystemError WriteToPort: text of 181 bytes is too long", 0), 0u);
}

TEST_P(Reception, UnpluggedDeviceIsReportedOnceAndCanBeReopened) {
    device->Unplug();
    ASSERT_TRUE(WaitLogged("SystemError 'COM3': The device is not connected.\r\n"));
    Pump(600ms);
    EXPECT_EQ(log.Named("SystemError").size(), 1u);
    EXPECT_EQ(tarvik->Close(), S_OK);
    EXPECT_EQ(Open(), 1);  // still gone
    ASSERT_TRUE(device->Replug());
    log.Clear();
    EXPECT_EQ(Open(), 0);
    EXPECT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));
    SendFrame(0x3F, 0x7B, 0x3F, 0x7B);
    EXPECT_TRUE(WaitLogged("StartNumberRequest 123"));
}

TRELVANE_BOTH_PLACEMENTS(Reception);

}  // namespace
}  // namespace trelvane
