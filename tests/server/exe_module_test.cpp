// The server module's message loop and its shutdown monitor: a quit that
// finds a client's lock still held does not end the server under that
// client, and no monitor outlives the loop.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <pthread.h>
#include <sched.h>
#endif

#include <chrono>
#include <filesystem>
#include <iterator>
#include <span>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/windows.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

class QuickModule final : public CAtlExeModuleT<QuickModule> {
public:
    QuickModule() {
        m_shutdownTimeout = 50;
        m_pauseAfterRevoke = 0;
    }
    static REFGUID LibId() { return GUID_NULL; }
    static std::span<ClassTableEntry> ClassTable() { return {}; }
    static HRESULT RegisterServerEntries() { return E_NOTIMPL; }
    static HRESULT UnregisterServerEntries() { return E_NOTIMPL; }
    HRESULT AddCommonRGSReplacements(IRegistrarBase*) override { return S_OK; }

    // With failingPump, taking a message fails once a client has come and
    // gone, so that the monitor is counting down when the loop ends.
    bool PumpMessages() {
        if (!failingPump) return CAtlExeModuleT::PumpMessages();
        LockModule();
        UnlockModule();
        while (m_activity) Sleep(1);  // the monitor has begun its timed wait
        return false;
    }
    HRESULT StartShutdownMonitor() {
        ++monitorsStarted;
        return CAtlExeModuleT::StartShutdownMonitor();
    }
    bool MonitorEnded() const { return m_shutdownEvent == nullptr; }
    void SetShutdownTimeout(DWORD ms) { m_shutdownTimeout = ms; }
    bool failingPump = false;
    int monitorsStarted = 0;
};

QuickModule* g_module = nullptr;
bool g_unlocked = false;

void UnlockOnce(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    g_unlocked = true;
    g_module->UnlockModule();
}

TEST(ExeModule, AQuitThatFindsALockHeldServesOnUntilTheLockIsGivenBack) {
    QuickModule module;
    ASSERT_FALSE(module.StartupFailed());
    g_module = &module;
    module.LockModule();  // a client handed the object just before the quit
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0));
    SetTimer(nullptr, 0, 100, UnlockOnce);
    EXPECT_EQ(module.RunServer(), S_OK);
    EXPECT_TRUE(g_unlocked);  // it quit only after the client let go
    EXPECT_EQ(module.GetLockCount(), 0);
    g_module = nullptr;
}

// The monitor has ended and posted its quit; a client's activation, queued
// ahead of that quit, takes a lock. The loop serves on with a fresh monitor,
// which ends it once that client has let go.
void LockAfterTheMonitorsQuit(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    g_module->LockModule();
    g_module->UnlockModule();  // the countdown runs
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!static_cast<const QuickModule*>(g_module)->MonitorEnded() && std::chrono::steady_clock::now() < bound)
        Sleep(5);
    g_module->LockModule();
    SetTimer(nullptr, 0, 100, UnlockOnce);
}

TEST(ExeModule, ALockTakenAfterTheMonitorsQuitIsServedWithAFreshMonitor) {
    QuickModule module;
    g_module = &module;
    g_unlocked = false;
    SetTimer(nullptr, 0, 1, LockAfterTheMonitorsQuit);
    EXPECT_EQ(module.RunServer(), S_OK);
    EXPECT_EQ(module.monitorsStarted, 2);
    EXPECT_TRUE(g_unlocked);
    EXPECT_EQ(module.GetLockCount(), 0);
    g_module = nullptr;
}

// A client comes back within the idle time and holds its lock past it: the
// monitor finds the lock when its wait ends and waits on, without a quit,
// until the next unlock to zero.
bool g_monitorWaitedOn = false;

void UnlockAfterTheIdleTime(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    g_monitorWaitedOn = !static_cast<const QuickModule*>(g_module)->MonitorEnded();
    UnlockOnce(nullptr, 0, 0, 0);
}

void ComeBackWithinTheIdleTime(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    g_module->LockModule();
    g_module->UnlockModule();                           // the countdown runs
    g_module->LockModule();                             // and the client is back
    SetTimer(nullptr, 0, 500, UnlockAfterTheIdleTime);  // ten times the idle time
}

TEST(ExeModule, ALockTakenWithinTheIdleTimeAndHeldPastItSuspendsTheCountdown) {
    QuickModule module;
    g_module = &module;
    g_unlocked = false;
    SetTimer(nullptr, 0, 1, ComeBackWithinTheIdleTime);
    EXPECT_EQ(module.RunServer(), S_OK);
    EXPECT_TRUE(g_monitorWaitedOn);
    EXPECT_EQ(module.monitorsStarted, 1);  // the first one quit only after the unlock
    EXPECT_TRUE(g_unlocked);
    g_module = nullptr;
}

TEST(ExeModule, WhenTakingAMessageFailsTheMonitorEndsBeforeTheLoopReturns) {
    // A thread started and ended first makes a sanitizer's runtime start the
    // helper thread it starts with the process's first thread, before the count.
    std::thread([] {}).join();
    const int threads = trelvane::testing::ThreadCount();
    const auto start = std::chrono::steady_clock::now();
    {
        QuickModule module;
        module.SetShutdownTimeout(60000);  // counting down long after the module has gone
        module.failingPump = true;
        EXPECT_EQ(module.RunServer(), S_OK);
        EXPECT_EQ(trelvane::testing::ThreadCount(), threads);  // no monitor left to read the module
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

#ifndef _WIN32
// Whether a thread of this process runs at the ordinary policy's lowest
// priority (in /proc/self/task/*/stat, the fields after the name: nice is
// the 17th, the policy the 39th).
bool AThreadRunsBehind() {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::string stat = trelvane::testing::ReadFile(task.path().string() + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 1));
        std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
        if (field.size() > 38 && field[16] == "19" && field[38] == std::to_string(SCHED_OTHER)) return true;
    }
    return false;
}

bool g_monitorBehind = false;

void LookForTheMonitor(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(g_monitorBehind = AThreadRunsBehind()) && std::chrono::steady_clock::now() < bound) Sleep(5);
    g_module->LockModule();
    g_module->UnlockModule();  // the countdown ends the loop
}

TEST(ExeModule, TheMonitorStepsAsideForTheServersThreads) {
    // The server's thread at a real-time policy, where this user may set one.
    sched_param fifo{};
    fifo.sched_priority = 10;
    const bool realTime = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &fifo) == 0;
    {
        QuickModule module;
        g_module = &module;
        SetTimer(nullptr, 0, 1, LookForTheMonitor);
        EXPECT_EQ(module.RunServer(), S_OK);
        EXPECT_TRUE(g_monitorBehind) << (realTime ? "at a real-time policy" : "at the ordinary policy");
        g_module = nullptr;
    }
    const sched_param ordinary{};
    if (realTime) ::pthread_setschedparam(::pthread_self(), SCHED_OTHER, &ordinary);
}
#endif

}  // namespace
}  // namespace trelvane
