// Threads and synchronisation: events, waits, critical sections, interlocked
// counters, threads and Sleep.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/base/types.h"
#include "platform/base/kernel_object.h"
#include "platform/base/thread_annotations.h"

constexpr DWORD STILL_ACTIVE = 259;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Events.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Waits for any one of the objects (bWaitAll must be FALSE): WAIT_OBJECT_0
// plus the index of the first signalled one, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);

// Critical sections: recursive, as the platform's are. Clang's analysis
// knows them as locks, though not as recursive ones.
struct CAPABILITY("critical section") CRITICAL_SECTION {
    std::recursive_mutex mutex;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs) ACQUIRE(cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs) RELEASE(cs);

// Interlocked operations on LONGs that are only ever touched through them
// (or through std::atomic_ref elsewhere). They return the new value, as the
// platform's do; InterlockedExchange returns the old one.
LONG InterlockedIncrement(volatile LONG* addend);
LONG InterlockedDecrement(volatile LONG* addend);
LONG InterlockedExchange(volatile LONG* target, LONG value);
LONG InterlockedCompareExchange(volatile LONG* destination, LONG exchange, LONG comparand);

// Threads (GetCurrentThreadId is with the basic types).
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, std::size_t dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    LPDWORD lpThreadId);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
void Sleep(DWORD dwMilliseconds);

namespace platform {

class EventObject;

// What sets an event on behalf of a thread that waits for it: a serial port
// whose operation will set the event lets the waiting thread poll the device
// itself, so that no thread of the port's own has to wake it.
class EventDriver {
public:
    virtual ~EventDriver() = default;
    // Waits until the event is set (taking the signal of an auto-reset event)
    // or milliseconds pass: WAIT_OBJECT_0 or WAIT_TIMEOUT.
    virtual DWORD DriveUntilSet(EventObject& event, DWORD milliseconds) = 0;
    // The event was set: a thread that drives for it must look again.
    virtual void EventSet() = 0;
};

// The event object behind an event handle; the comm layer signals events of
// overlapped operations through it without a second handle look-up.
class EventObject : public KernelObject {
public:
    explicit EventObject(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}
    void Set();
    void Reset();
    DWORD Wait(DWORD milliseconds) override;
    // Waits for this event go through driver while it exists.
    void DriveBy(std::weak_ptr<EventDriver> driver);
    // Takes the signal when the event is set; false when it is not.
    bool TryTake();
    // Waits for the event alone, with no driver.
    DWORD WaitUndriven(DWORD milliseconds);
    // For waits on several objects. An event that a port drives is waited
    // for on its own: no one would drive the port meanwhile.
    bool TryAcquire() override { return TryTake(); }
    bool AddWaiter(Waiter* waiter) override;
    void RemoveWaiter(Waiter* waiter) override;

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    const bool m_manualReset;
    bool m_signalled;
    std::weak_ptr<EventDriver> m_driver;
    std::vector<Waiter*> m_waiters;
};

}  // namespace platform
