#include "platform/base/sync.h"

#include <chrono>
#include <thread>

namespace platform {

void EventObject::Set() {
    std::shared_ptr<EventDriver> driver;
    {
        std::lock_guard lock(m_mutex);
        m_signalled = true;
        driver = m_driver.lock();
        for (Waiter* waiter : m_waiters) waiter->Notify();
    }
    if (m_manualReset)
        m_changed.notify_all();
    else
        m_changed.notify_one();
    if (driver) driver->EventSet();
}

bool EventObject::AddWaiter(Waiter* waiter) {
    std::lock_guard lock(m_mutex);
    if (!m_driver.expired()) return false;
    m_waiters.push_back(waiter);
    return true;
}

void EventObject::RemoveWaiter(Waiter* waiter) {
    std::lock_guard lock(m_mutex);
    std::erase(m_waiters, waiter);
}

void EventObject::Reset() {
    std::lock_guard lock(m_mutex);
    m_signalled = false;
}

void EventObject::DriveBy(std::weak_ptr<EventDriver> driver) {
    std::lock_guard lock(m_mutex);
    m_driver = std::move(driver);
}

bool EventObject::TryTake() {
    std::lock_guard lock(m_mutex);
    if (!m_signalled) return false;
    if (!m_manualReset) m_signalled = false;
    return true;
}

DWORD EventObject::Wait(DWORD milliseconds) {
    std::shared_ptr<EventDriver> driver;
    {
        std::lock_guard lock(m_mutex);
        driver = m_driver.lock();
    }
    return driver ? driver->DriveUntilSet(*this, milliseconds) : WaitUndriven(milliseconds);
}

DWORD EventObject::WaitUndriven(DWORD milliseconds) {
    std::unique_lock lock(m_mutex);
    auto ready = [this] { return m_signalled; };
    if (milliseconds == INFINITE) {
        m_changed.wait(lock, ready);
    } else if (!m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
        return WAIT_TIMEOUT;
    }
    if (!m_manualReset) m_signalled = false;
    return WAIT_OBJECT_0;
}

namespace {

// Shared between a thread and its handle: the thread may outlive the handle
// and the handle the thread.
struct ThreadState {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
    std::vector<Waiter*> waiters;
};

class ThreadObject : public KernelObject {
public:
    ThreadObject(std::shared_ptr<ThreadState> state, std::thread thread)
        : m_state(std::move(state)), m_thread(std::move(thread)) {}
    ~ThreadObject() override {
        if (m_thread.get_id() == std::this_thread::get_id()) {
            m_thread.detach();
            return;
        }
        bool finished;
        {
            std::lock_guard lock(m_state->mutex);
            finished = m_state->finished;
        }
        // A finished thread is joined so that it is really gone once its last
        // handle is closed; a running one is left to end on its own.
        if (finished)
            m_thread.join();
        else
            m_thread.detach();
    }
    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock lock(m_state->mutex);
        auto ready = [this] { return m_state->finished; };
        if (milliseconds == INFINITE) {
            m_state->done.wait(lock, ready);
            return WAIT_OBJECT_0;
        }
        // A wait with a limit of zero only looks: a timed wait on a condition
        // variable would enter the kernel (and count as a wake-up of the
        // thread) even for a limit that has passed already.
        if (milliseconds == 0) return ready() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        return m_state->done.wait_for(lock, std::chrono::milliseconds(milliseconds), ready) ? WAIT_OBJECT_0
                                                                                            : WAIT_TIMEOUT;
    }
    DWORD ExitCode() {
        std::lock_guard lock(m_state->mutex);
        return m_state->exitCode;
    }
    bool TryAcquire() override {
        std::lock_guard lock(m_state->mutex);
        return m_state->finished;
    }
    bool AddWaiter(Waiter* waiter) override {
        std::lock_guard lock(m_state->mutex);
        m_state->waiters.push_back(waiter);
        return true;
    }
    void RemoveWaiter(Waiter* waiter) override {
        std::lock_guard lock(m_state->mutex);
        std::erase(m_state->waiters, waiter);
    }

private:
    std::shared_ptr<ThreadState> m_state;
    std::thread m_thread;
};

// A waiter for WaitForMultipleObjects: the waiting thread sleeps on it.
class SleepingWaiter final : public Waiter {
public:
    void Notify() override {
        {
            std::lock_guard lock(m_mutex);
            m_notified = true;
        }
        m_wake.notify_one();
    }
    // Sleeps until notified or until the deadline; false when it passed.
    bool SleepUntil(std::chrono::steady_clock::time_point deadline, bool forever) {
        std::unique_lock lock(m_mutex);
        auto notified = [this] { return m_notified; };
        if (forever)
            m_wake.wait(lock, notified);
        else if (!m_wake.wait_until(lock, deadline, notified))
            return false;
        m_notified = false;
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_notified = false;
};

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

}  // namespace
}  // namespace platform

using platform::EventObject;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    if (lpName != nullptr) {  // named events are not needed by this system
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return platform::InsertHandle(std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL SetEvent(HANDLE hEvent) {
    auto event = platform::LookUpHandleAs<EventObject>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto event = platform::LookUpHandleAs<EventObject>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto object = platform::LookUpHandle(hHandle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->Wait(dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || bWaitAll) {  // waiting for all at once is not needed by this system
        SetLastError(nCount == 0 ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    platform::SleepingWaiter waiter;
    platform::WaitSet objects(nCount, lpHandles, &waiter);
    if (!objects.Ok()) return WAIT_FAILED;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    for (;;) {
        if (const int first = objects.FirstSignalled(); first >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(first);
        if (!waiter.SleepUntil(deadline, dwMilliseconds == INFINITE)) {
            const int first = objects.FirstSignalled();
            return first >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(first) : WAIT_TIMEOUT;
        }
    }
}

void InitializeCriticalSection(LPCRITICAL_SECTION) {}
void DeleteCriticalSection(LPCRITICAL_SECTION) {}
// The analysis cannot see that the mutex inside is the critical section.
void EnterCriticalSection(LPCRITICAL_SECTION cs) NO_THREAD_SAFETY_ANALYSIS { cs->mutex.lock(); }
void LeaveCriticalSection(LPCRITICAL_SECTION cs) NO_THREAD_SAFETY_ANALYSIS { cs->mutex.unlock(); }

LONG InterlockedIncrement(volatile LONG* addend) {
    return std::atomic_ref<LONG>(*const_cast<LONG*>(addend)).fetch_add(1) + 1;
}
LONG InterlockedDecrement(volatile LONG* addend) {
    return std::atomic_ref<LONG>(*const_cast<LONG*>(addend)).fetch_sub(1) - 1;
}
LONG InterlockedExchange(volatile LONG* target, LONG value) {
    return std::atomic_ref<LONG>(*const_cast<LONG*>(target)).exchange(value);
}
LONG InterlockedCompareExchange(volatile LONG* destination, LONG exchange, LONG comparand) {
    std::atomic_ref<LONG>(*const_cast<LONG*>(destination)).compare_exchange_strong(comparand, exchange);
    return comparand;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (lpStartAddress == nullptr || dwCreationFlags != 0) {  // CREATE_SUSPENDED is not supported
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto state = std::make_shared<platform::ThreadState>();
    const DWORD id = platform::g_nextThreadId.fetch_add(1);
    std::thread thread;
    try {
        thread = std::thread([state, id, lpStartAddress, lpParameter] {
            platform::t_threadId = id;
            const DWORD code = lpStartAddress(lpParameter);
            {
                std::lock_guard lock(state->mutex);
                state->exitCode = code;
                state->finished = true;
                for (platform::Waiter* waiter : state->waiters) waiter->Notify();
            }
            state->done.notify_all();
        });
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId) *lpThreadId = id;
    return platform::InsertHandle(std::make_shared<platform::ThreadObject>(std::move(state), std::move(thread)));
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto thread = platform::LookUpHandleAs<platform::ThreadObject>(hThread);
    if (!thread || lpExitCode == nullptr) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpExitCode = thread->ExitCode();
    return TRUE;
}

DWORD GetCurrentThreadId() {
    if (platform::t_threadId == 0) platform::t_threadId = platform::g_nextThreadId.fetch_add(1);
    return platform::t_threadId;
}

void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}
