#include "platform/messages/messages.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/base/sync.h"
#include "platform/base/wall_clock.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
    UINT elapse;
    TIMERPROC proc;
    Clock::time_point due;
};

struct MessageQueue {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<MSG> posted;
    std::map<UINT_PTR, Timer> timers;
    UINT_PTR nextTimerId = 1;
    bool quit = false;
    int quitCode = 0;
};

struct QueueRegistry {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
};

QueueRegistry& Registry() {
    static QueueRegistry* registry = new QueueRegistry;  // never destroyed: threads may outlive statics
    return *registry;
}

// Removes the thread's queue from the registry when the thread ends.
struct QueueHolder {
    std::shared_ptr<MessageQueue> queue;
    DWORD threadId = 0;
    ~QueueHolder() {
        if (!queue) return;
        auto& registry = Registry();
        std::lock_guard lock(registry.mutex);
        registry.queues.erase(threadId);
    }
};
thread_local QueueHolder t_queue;

MessageQueue& CurrentQueue() {
    if (!t_queue.queue) {
        t_queue.queue = std::make_shared<MessageQueue>();
        t_queue.threadId = GetCurrentThreadId();
        auto& registry = Registry();
        std::lock_guard lock(registry.mutex);
        registry.queues[t_queue.threadId] = t_queue.queue;
    }
    return *t_queue.queue;
}

MSG MakeMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return MSG{nullptr, message, wParam, lParam, GetTickCount(), {0, 0}};
}

// Takes the next message if there is one: posted messages first, then
// WM_QUIT once the queue is empty, then a due timer. A timer that fell
// behind produces one WM_TIMER, not one per missed period.
bool TakeMessage(MessageQueue& q, MSG* out, bool remove, Clock::time_point now) {
    if (!q.posted.empty()) {
        *out = q.posted.front();
        if (remove) q.posted.pop_front();
        return true;
    }
    if (q.quit) {
        *out = MakeMessage(WM_QUIT, static_cast<WPARAM>(q.quitCode), 0);
        if (remove) q.quit = false;
        return true;
    }
    for (auto& [id, timer] : q.timers) {
        if (timer.due <= now) {
            *out = MakeMessage(WM_TIMER, id, reinterpret_cast<LPARAM>(timer.proc));
            if (remove) timer.due = now + std::chrono::milliseconds(timer.elapse);
            return true;
        }
    }
    return false;
}

bool ValidFilter(HWND hWnd, UINT min, UINT max) { return hWnd == nullptr && min == 0 && max == 0; }

}  // namespace

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (lpMsg == nullptr || !ValidFilter(hWnd, wMsgFilterMin, wMsgFilterMax)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    MessageQueue& q = CurrentQueue();
    std::unique_lock lock(q.mutex);
    for (;;) {
        const auto now = Clock::now();
        if (TakeMessage(q, lpMsg, true, now)) return lpMsg->message == WM_QUIT ? FALSE : TRUE;
        Clock::time_point next = Clock::time_point::max();
        for (const auto& [id, timer] : q.timers) next = std::min(next, timer.due);
        if (next == Clock::time_point::max())
            q.wake.wait(lock);
        else
            q.wake.wait_until(lock, next);
    }
}

BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    if (lpMsg == nullptr || !ValidFilter(hWnd, wMsgFilterMin, wMsgFilterMax)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MessageQueue& q = CurrentQueue();
    std::lock_guard lock(q.mutex);
    return TakeMessage(q, lpMsg, (wRemoveMsg & PM_REMOVE) != 0, Clock::now()) ? TRUE : FALSE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }  // no keyboard messages exist here

LRESULT DispatchMessageW(const MSG* lpMsg) {
    if (lpMsg == nullptr || lpMsg->message != WM_TIMER || lpMsg->lParam == 0) return 0;
    // Only a timer that still exists runs: KillTimer between GetMessageW and
    // DispatchMessageW must stop the procedure.
    MessageQueue& q = CurrentQueue();
    TIMERPROC proc = nullptr;
    {
        std::lock_guard lock(q.mutex);
        auto it = q.timers.find(lpMsg->wParam);
        if (it != q.timers.end() && reinterpret_cast<LPARAM>(it->second.proc) == lpMsg->lParam)
            proc = it->second.proc;
    }
    if (proc) proc(nullptr, WM_TIMER, lpMsg->wParam, GetTickCount());
    return 0;
}

BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> q;
    {
        auto& registry = Registry();
        std::lock_guard lock(registry.mutex);
        auto it = registry.queues.find(idThread);
        if (it != registry.queues.end()) q = it->second;
    }
    if (!q) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    {
        std::lock_guard lock(q->mutex);
        q->posted.push_back(MakeMessage(Msg, wParam, lParam));
    }
    q->wake.notify_one();
    return TRUE;
}

void PostQuitMessage(int nExitCode) {
    MessageQueue& q = CurrentQueue();
    std::lock_guard lock(q.mutex);
    q.quit = true;
    q.quitCode = nExitCode;
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    if (hWnd != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    uElapse = std::max<UINT>(uElapse, 10);  // USER_TIMER_MINIMUM
    MessageQueue& q = CurrentQueue();
    {
        std::lock_guard lock(q.mutex);
        UINT_PTR id = nIDEvent;
        if (id == 0 || q.timers.find(id) == q.timers.end()) {
            while (q.timers.count(q.nextTimerId) || q.nextTimerId == 0) ++q.nextTimerId;
            id = q.nextTimerId++;
        }
        q.timers[id] = Timer{uElapse, lpTimerFunc, Clock::now() + std::chrono::milliseconds(uElapse)};
        nIDEvent = id;
    }
    q.wake.notify_one();
    return nIDEvent;
}

BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    MessageQueue& q = CurrentQueue();
    std::lock_guard lock(q.mutex);
    if (hWnd != nullptr || q.timers.erase(uIDEvent) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
