#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/windows.h"
#include "tools/testsupport/test_env.h"

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

}  // namespace
