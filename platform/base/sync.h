// Threads and synchronisation: events, waits, critical sections, interlocked
// counters, threads and Sleep.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/base/types.h"
#include "platform/base/kernel_object.h"

constexpr DWORD STILL_ACTIVE = 259;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Events.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Critical sections: recursive, as the platform's are.
struct CRITICAL_SECTION {
    std::recursive_mutex mutex;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);

// Interlocked operations on LONGs that are only ever touched through them
// (or through std::atomic_ref elsewhere). They return the new value, as the
// platform's do; InterlockedExchange returns the old one.
LONG InterlockedIncrement(volatile LONG* addend);
LONG InterlockedDecrement(volatile LONG* addend);
LONG InterlockedExchange(volatile LONG* target, LONG value);
LONG InterlockedCompareExchange(volatile LONG* destination, LONG exchange, LONG comparand);

// Threads.
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, std::size_t dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    LPDWORD lpThreadId);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
DWORD GetCurrentThreadId();
void Sleep(DWORD dwMilliseconds);

namespace platform {

// The event object behind an event handle; the comm layer signals events of
// overlapped operations through it without a second handle look-up.
class EventObject : public KernelObject {
public:
    explicit EventObject(bool manualReset, bool initialState)
        : m_manualReset(manualReset), m_signalled(initialState) {}
    void Set();
    void Reset();
    DWORD Wait(DWORD milliseconds) override;

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    const bool m_manualReset;
    bool m_signalled;
};

}  // namespace platform
