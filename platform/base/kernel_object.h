// The handle table: every HANDLE names a kernel object (event, thread, port)
// through a table, so that a stale or made-up handle is refused with
// ERROR_INVALID_HANDLE instead of being dereferenced. Handle values are never
// reused while the process runs.
#pragma once

#include <memory>
#include <vector>

#include "platform/base/types.h"

// Results of a wait on an object (WAIT_OBJECT_0, WAIT_TIMEOUT and
// WAIT_FAILED with the basic types).
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;

namespace platform {

// What a wait on several objects sleeps on: each object it waits for calls
// Notify when it becomes signalled. Notify may run on any thread.
class Waiter {
public:
    virtual void Notify() = 0;

protected:
    ~Waiter() = default;
};

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Waits until the object is signalled; returns WAIT_OBJECT_0 or WAIT_TIMEOUT.
    // Objects that cannot be waited on return WAIT_FAILED with ERROR_INVALID_HANDLE.
    virtual DWORD Wait(DWORD milliseconds);
    // For a wait on several objects: takes the signal if the object is
    // signalled now (an auto-reset event is reset by it).
    virtual bool TryAcquire() { return false; }
    // Registers a waiter to be notified when the object becomes signalled;
    // false for objects that cannot be waited on.
    virtual bool AddWaiter(Waiter*) { return false; }
    virtual void RemoveWaiter(Waiter*) {}
    // Called when the last handle to the object is closed (the object itself
    // may live on while an operation still holds it).
    virtual void OnLastHandleClosed() {}
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookUpHandle(HANDLE handle);
// Handles open in the process, for finding leaks.
std::size_t OpenHandleCount();

template <class T>
std::shared_ptr<T> LookUpHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookUpHandle(handle));
}

// The objects of a wait on several handles, with one waiter registered on
// each for the wait's life. Ok() is false (and the last error set) for a
// bad count, an unknown handle or an object that cannot be waited on.
class WaitSet {
public:
    WaitSet(DWORD count, const HANDLE* handles, Waiter* waiter);
    ~WaitSet();
    WaitSet(const WaitSet&) = delete;
    WaitSet& operator=(const WaitSet&) = delete;
    bool Ok() const { return m_ok; }
    // The index of the first signalled object (its signal taken), or -1.
    int FirstSignalled();

private:
    std::vector<std::shared_ptr<KernelObject>> m_objects;
    Waiter* m_waiter;
    bool m_ok = false;
};

}  // namespace platform

BOOL CloseHandle(HANDLE hObject);
