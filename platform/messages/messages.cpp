#include "platform/messages/messages.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/base/log.h"
#include "platform/base/sync.h"
#include "platform/base/wall_clock.h"
#include "platform/messages/thread_wait.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
    UINT elapse;
    TIMERPROC proc;
    Clock::time_point due;
};

struct MessageQueue {
    ~MessageQueue() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    std::mutex mutex;
    std::deque<MSG> posted;
    std::map<UINT_PTR, Timer> timers;
    UINT_PTR nextTimerId = 1;
    bool quit = false;
    int quitCode = 0;
    std::uint64_t posts = 0;   // messages posted so far
    std::uint64_t looked = 0;  // posts when the owner last looked with GetMessageW or PeekMessageW
    bool sleeping = false;     // the owner is in, or about to enter, its poll
    int wakeFd = -1;           // an eventfd that ends the owner's poll; made by its first wait

    // The owner thread's alone.
    std::map<int, platform::WaitSource> sources;
    int nextSourceId = 1;
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

std::shared_ptr<MessageQueue> QueueOf(DWORD threadId) {
    auto& registry = Registry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.queues.find(threadId);
    return it == registry.queues.end() ? nullptr : it->second;
}

struct MessageProcs {
    std::mutex mutex;
    std::map<UINT, platform::MessageProc> procs;
};

MessageProcs& Procs() {
    static MessageProcs* procs = new MessageProcs;  // never destroyed: threads may outlive statics
    return *procs;
}

MSG MakeMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return MSG{nullptr, message, wParam, lParam, GetTickCount(), {0, 0}};
}

bool InFilter(UINT message, UINT min, UINT max) { return (min == 0 && max == 0) || (message >= min && message <= max); }

// Takes the next message in the filter if there is one: posted messages
// first, then WM_QUIT once no posted message is left, then a due timer. A
// timer that fell behind produces one WM_TIMER, not one per missed period.
bool TakeMessage(MessageQueue& q, MSG* out, bool remove, Clock::time_point now, UINT min, UINT max) {
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (!InFilter(it->message, min, max)) continue;
        *out = *it;
        if (remove) q.posted.erase(it);
        return true;
    }
    if (q.quit && q.posted.empty() && InFilter(WM_QUIT, min, max)) {
        *out = MakeMessage(WM_QUIT, static_cast<WPARAM>(q.quitCode), 0);
        if (remove) q.quit = false;
        return true;
    }
    if (!InFilter(WM_TIMER, min, max)) return false;
    for (auto& [id, timer] : q.timers) {
        if (timer.due <= now) {
            *out = MakeMessage(WM_TIMER, id, reinterpret_cast<LPARAM>(timer.proc));
            if (remove) timer.due = now + std::chrono::milliseconds(timer.elapse);
            return true;
        }
    }
    return false;
}

Clock::time_point NextDue(const MessageQueue& q) {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [id, timer] : q.timers) next = std::min(next, timer.due);
    return next;
}

void Wake(int fd) {
    const std::uint64_t one = 1;
    if (fd >= 0 && ::write(fd, &one, sizeof one) < 0 && errno != EAGAIN)
        platform::log::Error(platform::log::Channel::messages, "cannot wake a message wait: errno %d", errno);
}

// The descriptor that wakes the owner (-1 for none, or with onlyIfSleeping
// when the owner is not in its wait). The write is left to the caller, after
// the lock: the woken owner takes the lock first thing, and would otherwise
// wait for the waker's system call to end. The descriptor lives as long as
// the queue.
int WakeFdOf(MessageQueue& q, bool onlyIfSleeping) {
    std::lock_guard lock(q.mutex);
    return onlyIfSleeping && !q.sleeping ? -1 : q.wakeFd;
}

// The wake-up descriptor, made on the owner's first wait. Without one the
// owner polls in short steps rather than sleep through a post.
int EnsureWakeFd(MessageQueue& q) {
    if (q.wakeFd < 0) {
        q.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (q.wakeFd < 0)
            platform::log::Error(platform::log::Channel::messages, "no eventfd for a message queue: errno %d", errno);
    }
    return q.wakeFd;
}

int PollTimeout(Clock::time_point until, bool haveWakeFd) {
    if (!haveWakeFd) until = std::min(until, Clock::now() + std::chrono::milliseconds(10));
    if (until == Clock::time_point::max()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Runs the handlers of the sources that poll found ready. A handler may add
// or remove sources, so each is looked up again by its id.
void HandleReadySources(MessageQueue& q, const std::vector<pollfd>& fds, const std::vector<int>& ids) {
    for (std::size_t k = 0; k < ids.size(); ++k) {
        if (fds[k + 1].revents == 0) continue;
        auto it = q.sources.find(ids[k]);
        if (it == q.sources.end()) continue;
        auto ready = it->second.ready;  // the handler may remove its own source
        ready(fds[k + 1].revents);
    }
}

// One wait of the owner: returns after a post that came after `seen`, a
// source being handled, a timer falling due (only with timers), a waiter's
// notification or the deadline.
void WaitOnce(MessageQueue& q, std::uint64_t seen, Clock::time_point until, bool timers) {
    int wakeFd;
    {
        std::lock_guard lock(q.mutex);
        if (q.posts != seen) return;
        wakeFd = EnsureWakeFd(q);
        if (timers) until = std::min(until, NextDue(q));
        q.sleeping = true;
    }
    std::vector<pollfd> fds{{wakeFd, POLLIN, 0}};
    std::vector<int> ids;
    for (auto& [id, source] : q.sources) {
        const short events = source.events ? source.events() : short{POLLIN};
        if (events == 0) continue;
        fds.push_back({source.fd, events, 0});
        ids.push_back(id);
    }
    const int n = ::poll(fds.data(), fds.size(), PollTimeout(until, wakeFd >= 0));
    {
        std::lock_guard lock(q.mutex);
        q.sleeping = false;
    }
    if (n < 0) {
        if (errno != EINTR)
            platform::log::Error(platform::log::Channel::messages, "message wait failed: errno %d", errno);
        return;
    }
    if (fds[0].revents & POLLIN) {
        std::uint64_t count;
        if (::read(wakeFd, &count, sizeof count) < 0 && errno != EAGAIN)
            platform::log::Error(platform::log::Channel::messages, "cannot read a message wake-up: errno %d", errno);
    }
    HandleReadySources(q, fds, ids);
}

// Notifies a message wait of a signalled object by its wake-up descriptor.
class QueueWaiter final : public platform::Waiter {
public:
    explicit QueueWaiter(int fd) : m_fd(fd) {}
    void Notify() override { Wake(m_fd); }

private:
    int m_fd;
};

bool HasInput(const MessageQueue& q, DWORD mask, bool available, Clock::time_point now) {
    if (mask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) {
        if (available ? (!q.posted.empty() || q.quit) : q.posts != q.looked) return true;
    }
    return (mask & QS_TIMER) && NextDue(q) <= now;
}

}  // namespace

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (lpMsg == nullptr || hWnd != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    MessageQueue& q = CurrentQueue();
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lock(q.mutex);
            q.looked = q.posts;
            if (TakeMessage(q, lpMsg, true, Clock::now(), wMsgFilterMin, wMsgFilterMax))
                return lpMsg->message == WM_QUIT ? FALSE : TRUE;
            seen = q.posts;
        }
        WaitOnce(q, seen, Clock::time_point::max(), InFilter(WM_TIMER, wMsgFilterMin, wMsgFilterMax));
    }
}

BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    if (lpMsg == nullptr || hWnd != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MessageQueue& q = CurrentQueue();
    std::lock_guard lock(q.mutex);
    q.looked = q.posts;
    return TakeMessage(q, lpMsg, (wRemoveMsg & PM_REMOVE) != 0, Clock::now(), wMsgFilterMin, wMsgFilterMax) ? TRUE
                                                                                                            : FALSE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }  // no keyboard messages exist here

LRESULT DispatchMessageW(const MSG* lpMsg) {
    if (lpMsg == nullptr) return 0;
    if (lpMsg->message != WM_TIMER) {
        platform::MessageProc proc = nullptr;
        {
            auto& procs = Procs();
            std::lock_guard lock(procs.mutex);
            auto it = procs.procs.find(lpMsg->message);
            if (it != procs.procs.end()) proc = it->second;
        }
        if (proc) proc(*lpMsg);
        return 0;
    }
    if (lpMsg->lParam == 0) return 0;
    // Only a timer that still exists runs: KillTimer between GetMessageW and
    // DispatchMessageW must stop the procedure.
    MessageQueue& q = CurrentQueue();
    TIMERPROC proc = nullptr;
    {
        std::lock_guard lock(q.mutex);
        auto it = q.timers.find(lpMsg->wParam);
        if (it != q.timers.end() && reinterpret_cast<LPARAM>(it->second.proc) == lpMsg->lParam) proc = it->second.proc;
    }
    if (proc) proc(nullptr, WM_TIMER, lpMsg->wParam, GetTickCount());
    return 0;
}

BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> q = QueueOf(idThread);
    if (!q) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    int wakeFd = -1;
    {
        std::lock_guard lock(q->mutex);
        q->posted.push_back(MakeMessage(Msg, wParam, lParam));
        ++q->posts;
        if (q->sleeping) wakeFd = q->wakeFd;
    }
    Wake(wakeFd);
    return TRUE;
}

void PostQuitMessage(int nExitCode) {
    MessageQueue& q = CurrentQueue();
    std::lock_guard lock(q.mutex);
    q.quit = true;
    q.quitCode = nExitCode;
    ++q.posts;
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    if (hWnd != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    uElapse = std::max<UINT>(uElapse, 10);  // USER_TIMER_MINIMUM
    MessageQueue& q = CurrentQueue();
    std::lock_guard lock(q.mutex);
    UINT_PTR id = nIDEvent;
    if (id == 0 || q.timers.find(id) == q.timers.end()) {
        while (q.timers.count(q.nextTimerId) || q.nextTimerId == 0) ++q.nextTimerId;
        id = q.nextTimerId++;
    }
    q.timers[id] = Timer{uElapse, lpTimerFunc, Clock::now() + std::chrono::milliseconds(uElapse)};
    return id;
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

DWORD MsgWaitForMultipleObjectsEx(DWORD nCount, const HANDLE* pHandles, DWORD dwMilliseconds, DWORD dwWakeMask,
                                  DWORD dwFlags) {
    if ((dwFlags & MWMO_WAITALL) || nCount >= MAXIMUM_WAIT_OBJECTS) {
        SetLastError((dwFlags & MWMO_WAITALL) ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    MessageQueue& q = CurrentQueue();
    int wakeFd;
    {
        std::lock_guard lock(q.mutex);
        wakeFd = EnsureWakeFd(q);
    }
    QueueWaiter waiter(wakeFd);
    platform::WaitSet objects(nCount, pHandles, &waiter);
    if (!objects.Ok()) return WAIT_FAILED;
    const bool forever = dwMilliseconds == INFINITE;
    const auto deadline = forever ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    const bool available = (dwFlags & MWMO_INPUTAVAILABLE) != 0;
    for (;;) {
        if (const int first = objects.FirstSignalled(); first >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(first);
        std::uint64_t seen;
        const auto now = Clock::now();
        {
            std::lock_guard lock(q.mutex);
            if (HasInput(q, dwWakeMask, available, now)) return WAIT_OBJECT_0 + nCount;
            seen = q.posts;
        }
        if (!forever && now >= deadline) return WAIT_TIMEOUT;
        WaitOnce(q, seen, deadline, (dwWakeMask & QS_TIMER) != 0);
    }
}

DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                DWORD dwWakeMask) {
    return MsgWaitForMultipleObjectsEx(nCount, pHandles, dwMilliseconds, dwWakeMask, fWaitAll ? MWMO_WAITALL : 0);
}

namespace platform {

void SetMessageProc(UINT message, MessageProc proc) {
    auto& procs = Procs();
    std::lock_guard lock(procs.mutex);
    if (proc)
        procs.procs[message] = proc;
    else
        procs.procs.erase(message);
}

int AddWaitSource(WaitSource source) {
    MessageQueue& q = CurrentQueue();
    const int id = q.nextSourceId++;
    q.sources.emplace(id, std::move(source));
    return id;
}

void RemoveWaitSource(int id) {
    if (t_queue.queue) t_queue.queue->sources.erase(id);
}

void WakeThread(DWORD threadId) {
    if (std::shared_ptr<MessageQueue> q = QueueOf(threadId)) Wake(WakeFdOf(*q, false));
}

bool WakeThreadIfWaiting(DWORD threadId) {
    std::shared_ptr<MessageQueue> q = QueueOf(threadId);
    if (!q) return false;
    const int wakeFd = WakeFdOf(*q, true);
    Wake(wakeFd);
    return wakeFd >= 0;
}

std::uint64_t PostedCount() {
    MessageQueue& q = CurrentQueue();
    std::lock_guard lock(q.mutex);
    return q.posts;
}

void WaitForThreadActivity(std::uint64_t seen, DWORD milliseconds, bool timers) {
    const auto until =
        milliseconds == INFINITE ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(milliseconds);
    WaitOnce(CurrentQueue(), seen, until, timers);
}

}  // namespace platform
