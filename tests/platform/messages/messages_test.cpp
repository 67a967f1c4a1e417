#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/messages/thread_wait.h"
#include "platform/windows.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

thread_local std::vector<UINT_PTR>* t_fired = nullptr;
std::atomic<DWORD> g_timerThread{0};

void RecordTimer(HWND, UINT message, UINT_PTR id, DWORD) {
    EXPECT_EQ(message, WM_TIMER);
    g_timerThread = GetCurrentThreadId();
    if (t_fired) t_fired->push_back(id);
}

TEST(MessageLoop, PostedMessagesThenQuit) {
    const DWORD self = GetCurrentThreadId();
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
    std::thread poster([self] {
        EXPECT_TRUE(PostThreadMessageW(self, WM_APP + 1, 11, 22));
        EXPECT_TRUE(PostThreadMessageW(self, WM_QUIT, 3, 0));
    });
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_APP + 1);
    EXPECT_EQ(msg.wParam, 11u);
    EXPECT_EQ(msg.lParam, 22);
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
    poster.join();
    EXPECT_FALSE(PostThreadMessageW(0x7FFFFFF0, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

// Runs the loop until deadline; returns the WM_TIMER ids dispatched.
std::vector<UINT_PTR> Pump(std::chrono::milliseconds duration) {
    std::vector<UINT_PTR> fired;
    t_fired = &fired;
    const DWORD self = GetCurrentThreadId();
    std::thread stopper([self, duration] {
        std::this_thread::sleep_for(duration);
        PostThreadMessageW(self, WM_QUIT, 0, 0);
    });
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    stopper.join();
    t_fired = nullptr;
    return fired;
}

TEST(ThreadTimers, FireOnTheSettingThreadAtTheirPeriod) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    const UINT_PTR id = SetTimer(nullptr, 0, 50, RecordTimer);
    ASSERT_NE(id, 0u);
    const auto fired = Pump(std::chrono::milliseconds(530));
    EXPECT_GE(fired.size(), 7u);
    EXPECT_LE(fired.size(), 11u);
    for (UINT_PTR f : fired) EXPECT_EQ(f, id);
    EXPECT_EQ(g_timerThread.load(), GetCurrentThreadId());
    EXPECT_TRUE(KillTimer(nullptr, id));
    EXPECT_TRUE(Pump(std::chrono::milliseconds(120)).empty());
    EXPECT_FALSE(KillTimer(nullptr, id));
}

TEST(ThreadTimers, KilledBetweenGetAndDispatchDoesNotRun) {
    const UINT_PTR id = SetTimer(nullptr, 0, 10, RecordTimer);
    MSG msg;
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    ASSERT_EQ(msg.message, WM_TIMER);
    KillTimer(nullptr, id);
    std::vector<UINT_PTR> fired;
    t_fired = &fired;
    DispatchMessageW(&msg);
    t_fired = nullptr;
    EXPECT_TRUE(fired.empty());
}

TEST(ThreadTimers, TwoTimersKeepTheirOwnIds) {
    const UINT_PTR a = SetTimer(nullptr, 0, 30, RecordTimer);
    const UINT_PTR b = SetTimer(nullptr, 0, 30, RecordTimer);
    EXPECT_NE(a, b);
    const auto fired = Pump(std::chrono::milliseconds(200));
    EXPECT_NE(std::count(fired.begin(), fired.end(), a), 0);
    EXPECT_NE(std::count(fired.begin(), fired.end(), b), 0);
    KillTimer(nullptr, a);
    KillTimer(nullptr, b);
}

TEST(MessageLoop, IdleWaitUsesNoCpu) {
    const double before = trelvane::testing::ProcessCpuSeconds();
    Pump(std::chrono::milliseconds(1000));
    EXPECT_LT(trelvane::testing::ProcessCpuSeconds() - before, 0.2);  // a busy loop would use ~1 s
}

TEST(MessageLoop, AFilterTakesOnlyItsRangeAndKeepsTheOrderOfTheRest) {
    const DWORD self = GetCurrentThreadId();
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
    for (UINT m : {WM_APP + 1, WM_USER + 5, WM_APP + 2, WM_USER + 6}) PostThreadMessageW(self, m, 0, 0);
    std::vector<UINT> taken;
    while (PeekMessageW(&msg, nullptr, WM_USER, WM_USER + 100, PM_REMOVE)) taken.push_back(msg.message);
    EXPECT_EQ(taken, (std::vector<UINT>{WM_USER + 5, WM_USER + 6}));
    taken.clear();
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) taken.push_back(msg.message);
    EXPECT_EQ(taken, (std::vector<UINT>{WM_APP + 1, WM_APP + 2}));
}

std::vector<UINT> g_procMessages;
void RecordProc(const MSG& msg) { g_procMessages.push_back(static_cast<UINT>(msg.wParam)); }

TEST(MessageLoop, DispatchRunsTheProcedureOfTheMessageNumber) {
    constexpr UINT kMessage = 0xC123;
    platform::SetMessageProc(kMessage, RecordProc);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
    PostThreadMessageW(GetCurrentThreadId(), kMessage, 42, 0);
    PostThreadMessageW(GetCurrentThreadId(), WM_APP, 43, 0);  // no procedure: nothing runs
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    platform::SetMessageProc(kMessage, nullptr);
    EXPECT_EQ(g_procMessages, std::vector<UINT>{42});
}

// MsgWaitForMultipleObjectsEx on a fresh thread, so that nothing else is queued.
template <class Body>
void OnFreshThread(Body body) {
    std::thread(body).join();
}

TEST(MessageWaits, ReturnForAnObjectAMessageOrATimer) {
    OnFreshThread([] {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 20, QS_ALLINPUT, 0), WAIT_TIMEOUT);
        std::thread setter([event] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            SetEvent(event);
        });
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 5000, QS_ALLINPUT, 0), WAIT_OBJECT_0);
        setter.join();
        const DWORD self = GetCurrentThreadId();
        std::thread poster([self] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            PostThreadMessageW(self, WM_APP, 0, 0);
        });
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 5000, QS_ALLINPUT, 0), WAIT_OBJECT_0 + 1);
        poster.join();
        // Once looked at, the message is not new: only MWMO_INPUTAVAILABLE still sees it.
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 20, QS_POSTMESSAGE, 0), WAIT_TIMEOUT);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 20, QS_POSTMESSAGE, MWMO_INPUTAVAILABLE), WAIT_OBJECT_0 + 1);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_TIMER, MWMO_INPUTAVAILABLE), WAIT_TIMEOUT);
        const UINT_PTR timer = SetTimer(nullptr, 0, 30, RecordTimer);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 5000, QS_TIMER, 0), WAIT_OBJECT_0);
        KillTimer(nullptr, timer);
        CloseHandle(event);
    });
}

TEST(MessageWaits, ASourceIsHandledOnTheWaitingThread) {
    OnFreshThread([] {
        trelvane::testing::PipePair pipe;
        DWORD handledOn = 0;
        char got = 0;
        const int id = platform::AddWaitSource({pipe.ReadEnd(), [] { return platform::kSourceReadable; },
                                                [&](short) {
                                                    handledOn = GetCurrentThreadId();
                                                    got = pipe.ReadByte();
                                                    PostQuitMessage(0);
                                                }});
        std::thread writer([&pipe] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_TRUE(pipe.WriteByte('x'));
        });
        MSG msg;
        EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);  // the handler's quit
        writer.join();
        EXPECT_EQ(handledOn, GetCurrentThreadId());
        EXPECT_EQ(got, 'x');
        platform::RemoveWaitSource(id);
    });
}

}  // namespace
}  // namespace trelvane
