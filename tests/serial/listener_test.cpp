// CSerialEx: the listener loop, its timeout, stop and failure behaviour.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/serial/recording.h"
#include "tools/device_end/device_end.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;
using trelvane::testing::RecordingListener;

class Listener : public ::testing::Test {
protected:
    void SetUp() override {
        device = trelvane::DeviceEnd::Create(home.Path(), 4);
        ASSERT_TRUE(device);
    }
    trelvane::testing::TempHome home;
    std::unique_ptr<trelvane::DeviceEnd> device;
    RecordingListener listener;
};

TEST_F(Listener, SilentLineWithNoBoundNeverCallsTheHandler) {
    ASSERT_EQ(listener.Open(u"COM4", 0, 0, true), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(listener.calls.Size(), 0u);
}

TEST_F(Listener, BoundExpiresAgainAfterEverySilence) {
    listener.SetListenTimeout(150);
    // The third expiry's handler lifts the bound, so no later wait expires.
    std::atomic<int> expiries{0};
    listener.hook = [&](DWORD) {
        if (++expiries == 3) listener.SetListenTimeout(INFINITE);
    };
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(listener.Open(u"COM4", 0, 0, true), 0);
    ASSERT_TRUE(listener.calls.WaitFor(3, 2s));
    const auto calls = listener.calls.Items();
    for (const auto& call : calls) {
        EXPECT_EQ(call.events, CSerialEx::ListenTimeoutFlag);
        EXPECT_EQ(call.errors, 0u);
    }
    EXPECT_GE(calls[0].at - start, 140ms);
    EXPECT_GE(calls[1].at - calls[0].at, 140ms);
    // A byte after an expiry is still reported: the outstanding wait was kept.
    std::this_thread::sleep_for(200ms);
    const std::size_t before = listener.calls.Size();
    ASSERT_TRUE(device->SendByte(0x11));
    ASSERT_TRUE(listener.calls.WaitFor(before + 1, 2s));
    EXPECT_EQ(listener.calls.Items().back().events & EV_RXCHAR, EV_RXCHAR);
}

TEST_F(Listener, AByteAlreadyThereWhenAZeroBoundWaitBeginsIsNoSilence) {
    // The first expiry's handler lets a byte arrive and then sets the bound
    // to 0: the next wait, still on the outstanding request, must see it.
    std::atomic<int> handled{0};
    listener.hook = [&](DWORD) {
        if (handled++ == 0) {
            device->SendByte(0x3F);
            std::this_thread::sleep_for(50ms);
            listener.SetListenTimeout(0);
        } else {
            listener.SetListenTimeout(INFINITE);
        }
    };
    listener.SetListenTimeout(100);
    ASSERT_EQ(listener.Open(u"COM4", 0, 0, true), 0);
    ASSERT_TRUE(listener.calls.WaitFor(2, 2s));
    const auto calls = listener.calls.Items();
    EXPECT_EQ(calls[0].events, CSerialEx::ListenTimeoutFlag);
    EXPECT_EQ(calls[1].events, EV_RXCHAR);
}

TEST_F(Listener, EventsOutsideTheMaskCauseNoCallAndErrorsGoWithTheNextOne) {
    // The mask is in place before the listener's first wait, so no completion
    // (and clearing of errors) comes between the two line errors below.
    ASSERT_EQ(listener.Open(u"COM4", 0, 0, false), 0);
    ASSERT_TRUE(device->WaitConnected(2s));
    ASSERT_EQ(listener.SetEventMask(EV_RXCHAR | EV_BREAK), 0);
    ASSERT_EQ(listener.StartListener(), 0);
    device->RaiseLineError(vline::LineErrorKind::Framing);  // EV_ERR: not in the mask
    device->SetCts(true);                                   // EV_CTS: not in the mask
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(listener.calls.Size(), 0u);
    device->RaiseLineError(vline::LineErrorKind::Break);
    ASSERT_TRUE(listener.calls.WaitFor(1, 2s));
    const auto call = listener.calls.Items()[0];
    EXPECT_EQ(call.events, EV_BREAK);
    EXPECT_EQ(call.errors, CE_FRAME | CE_BREAK);
    // The listener cleared the line-error state after that completion.
    DWORD errors = 0xFF;
    ASSERT_TRUE(ClearCommError(listener.PortHandle(), &errors, nullptr));
    EXPECT_EQ(errors, 0u);
}

TEST_F(Listener, SeveralKindsInOneWaitComeInOneCall) {
    ASSERT_EQ(listener.Open(u"COM4", 0, 0, true), 0);
    ASSERT_TRUE(device->WaitConnected(2s));
    ASSERT_EQ(listener.SetEventMask(EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR), 0);
    std::this_thread::sleep_for(50ms);
    device->SetModemLines(true, true, true);
    ASSERT_TRUE(listener.calls.WaitFor(1, 2s));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(listener.calls.Size(), 1u);
    EXPECT_EQ(listener.calls.Items()[0].events, EV_CTS | EV_DSR | EV_RLSD);
}

TEST_F(Listener, CloseWhileTheHandlerRunsWaitsForIt) {
    std::atomic<bool> inHandler{false}, handlerDone{false};
    listener.hook = [&](DWORD) {
        inHandler = true;
        std::this_thread::sleep_for(200ms);
        handlerDone = true;
    };
    ASSERT_EQ(listener.Open(u"COM4", 0, 0, true), 0);
    ASSERT_TRUE(device->SendByte(1));
    while (!inHandler) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(listener.Close(), 0);
    EXPECT_TRUE(handlerDone.load());
    EXPECT_FALSE(listener.ListenerRecorded());
    EXPECT_EQ(listener.PortHandle(), nullptr);
}

// Makes a stop request, complete with its signal, right before the listener
// starts its stopAtWait-th port-event wait: the stop finds no wait to
// complete, and starting the wait clears its signal. Only a look at the
// request after the wait has started can see it.
class StopBeforeTheWait : public RecordingListener {
public:
    LONG WaitForPortEvent(LPOVERLAPPED overlapped, DWORD timeout) override {
        if (++waits == stopAtWait) {
            while (!opened) std::this_thread::sleep_for(1ms);  // Open has recorded the thread
            stopper = std::thread([this] { StopListener(2000); });
            stopperStarted = true;
            const auto deadline = std::chrono::steady_clock::now() + 2s;
            while (WaitForSingleObject(m_listenEvent, 0) != WAIT_OBJECT_0 &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
        }
        return CSerialEx::WaitForPortEvent(overlapped, timeout);
    }
    int stopAtWait = 0;
    std::atomic<int> waits{0};
    std::atomic<bool> opened{false};
    std::atomic<bool> stopperStarted{false};
    std::thread stopper;
};

TEST_F(Listener, StopJustBeforeAWaitBeginsEndsTheListener) {
    StopBeforeTheWait stopped;
    stopped.stopAtWait = 2;  // the wait after the first byte's handler
    ASSERT_EQ(stopped.Open(u"COM4", 0, 0, true), 0);
    stopped.opened = true;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(device->SendByte(1));
    while (!stopped.stopperStarted) std::this_thread::sleep_for(1ms);
    stopped.stopper.join();
    EXPECT_FALSE(stopped.ListenerRecorded()) << "the listener sat in its wait";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1900ms);  // not the stop's 2 s bound run out
    EXPECT_EQ(stopped.calls.Size(), 1u);
}

TEST_F(Listener, StopWhileTheHandlerRunsIsPrompt) {
    // Stop requests that land while the handler runs find no wait to complete.
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(listener.Open(u"COM4", 0, 0, true), 0);
        device->Send({1, 2, 3});
        std::this_thread::sleep_for(std::chrono::microseconds(300 * i));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(listener.Close(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    }
}

TEST_F(Listener, BoundedIoInTheTimeoutHandlerLeavesTheListenerWaiting) {
    // A handler may read or write with a bound; when that runs out, only its
    // own request is cancelled, not the listener's outstanding port-event wait.
    for (bool write : {false, true}) {
        SCOPED_TRACE(write ? "write" : "read");
        RecordingListener handler;
        std::atomic<LONG> bounded{-1};
        handler.hook = [&](DWORD events) {
            if (events != CSerialEx::ListenTimeoutFlag) return;
            BYTE byte = 0x55;
            bounded =
                write ? handler.Write(&byte, 1, nullptr, nullptr, 50) : handler.Read(&byte, 1, nullptr, nullptr, 50);
            EXPECT_EQ(handler.SetReadTimeoutMode(CSerial::ReadNonBlocking), 0);
            handler.SetListenTimeout(INFINITE);
        };
        ASSERT_EQ(handler.Open(u"COM4", 0, 0, false), 0);
        ASSERT_TRUE(device->WaitConnected(2s));
        ASSERT_EQ(handler.SetReadTimeoutMode(CSerial::ReadBlocking), 0);
        // A device that takes nothing more, behind a write that fills the line.
        std::vector<BYTE> backlog(write ? 1 << 20 : 0);
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (write) {
            device->StallReading(true);
            ASSERT_EQ(handler.Write(backlog.data(), static_cast<DWORD>(backlog.size()), nullptr, &ov), 0);
        }
        handler.SetListenTimeout(100);
        ASSERT_EQ(handler.StartListener(), 0);
        ASSERT_TRUE(handler.calls.WaitFor(1, 2s));
        EXPECT_EQ(bounded.load(), 1460);
        device->StallReading(false);
        ASSERT_TRUE(device->SendByte(0x3F));
        ASSERT_TRUE(handler.calls.WaitFor(2, 2s)) << "the listener ended";
        EXPECT_EQ(handler.calls.Items()[1].events, EV_RXCHAR);
        DWORD n = 0;
        if (write) {
            EXPECT_TRUE(GetOverlappedResult(handler.PortHandle(), &ov, &n, TRUE));
        }
        EXPECT_EQ(handler.Close(), 0);
        CloseHandle(ov.hEvent);
        device->TakeReceived();
        ASSERT_TRUE(device->WaitDisconnected(2s));
    }
}

// The first port-event wait's signal comes before its result is there, as
// Wine's does at times: with the result 50 ms later, or never.
class SignalBeforeResult : public RecordingListener {
public:
    ~SignalBeforeResult() override {
        if (m_relay.joinable()) m_relay.join();
        if (m_inner.hEvent) CloseHandle(m_inner.hEvent);
    }
    LONG WaitForPortEvent(LPOVERLAPPED overlapped, DWORD timeout) override {
        if (++m_waits > 1) return CSerialEx::WaitForPortEvent(overlapped, timeout);
        std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(STATUS_PENDING);
        if (!resultComes) {
            SetEvent(overlapped->hEvent);
            return 0;
        }
        m_inner.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (const LONG failed = CSerialEx::WaitForPortEvent(&m_inner, timeout)) return failed;
        m_relay = std::thread([this, overlapped] {
            WaitForSingleObject(m_inner.hEvent, INFINITE);
            SetEvent(overlapped->hEvent);
            std::this_thread::sleep_for(50ms);
            overlapped->InternalHigh = m_inner.InternalHigh;
            std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(m_inner.Internal, std::memory_order_release);
        });
        return 0;
    }
    bool resultComes = true;

private:
    std::atomic<int> m_waits{0};
    OVERLAPPED m_inner{};
    std::thread m_relay;
};

TEST_F(Listener, AWaitSignalledBeforeItsResultIsNotLost) {
    for (bool comes : {true, false}) {
        SCOPED_TRACE(comes ? "the result comes" : "the result never comes");
        platform::log::Capture log;
        SignalBeforeResult port;
        port.resultComes = comes;
        ASSERT_EQ(port.Open(u"COM4", 0, 0, true), 0);
        ASSERT_TRUE(device->SendByte(0x3F));
        // Without the wait started afresh, the listener waited for good.
        ASSERT_TRUE(port.calls.WaitFor(1, 5s));
        EXPECT_EQ(port.calls.Items()[0].events, EV_RXCHAR);
        ASSERT_TRUE(device->SendByte(0x7B));
        ASSERT_TRUE(port.calls.WaitFor(2, 5s));
        EXPECT_EQ(port.Close(), 0);
        EXPECT_EQ(log.Text().find("started afresh") != std::string::npos, !comes) << log.Text();
        ASSERT_TRUE(device->WaitDisconnected(2s));
    }
}

TEST_F(Listener, CloseAfterTheListenerDiedReturnsAtOnce) {
    ASSERT_EQ(listener.Open(u"COM4", 0, 0, true), 0);
    ASSERT_TRUE(device->WaitConnected(2s));
    device->Unplug();
    // The listener ends by itself; its code stays and the thread stays recorded.
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (listener.LastErrorCode() != 1167 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(listener.LastErrorCode(), 1167);
    EXPECT_TRUE(listener.ListenerRecorded());
    EXPECT_EQ(listener.calls.Size(), 0u);
    EXPECT_EQ(listener.Close(), 0);
    EXPECT_FALSE(listener.ListenerRecorded());
}

TEST_F(Listener, AListenerThatCannotStartLeavesNothingOpen) {
    struct Unstartable : trelvane::testing::RecordingListener {
        LONG StartListener() override { return Fail(ERROR_NOT_ENOUGH_MEMORY); }
    } port;
    EXPECT_EQ(port.Open(u"COM4", 0, 0, true), static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(port.LastErrorCode(), static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(port.PortHandle(), nullptr);
    EXPECT_EQ(listener.Open(u"COM4", 0, 0, true), 0);
}

TEST_F(Listener, StartTwiceMakesOneThreadAndStopWithoutOneIsFine) {
    EXPECT_EQ(listener.StopListener(), 0);
    ASSERT_EQ(listener.Open(u"COM4", 0, 0, false), 0);
    EXPECT_FALSE(listener.ListenerRecorded());
    const int threads = trelvane::testing::ThreadCount();
    EXPECT_EQ(listener.StartListener(), 0);
    EXPECT_EQ(listener.StartListener(), 0);
    EXPECT_EQ(trelvane::testing::ThreadCount(), threads + 1);
    ASSERT_TRUE(device->SendByte(5));
    EXPECT_TRUE(listener.calls.WaitFor(1, 2s));
    EXPECT_EQ(listener.StopListener(), 0);
    // A new listener on the same port picks up where the old one stopped.
    EXPECT_EQ(listener.StartListener(), 0);
    ASSERT_TRUE(device->SendByte(6));
    EXPECT_TRUE(listener.calls.WaitFor(2, 2s));
}

}  // namespace
}  // namespace trelvane
