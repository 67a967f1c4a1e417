// The handle table: every HANDLE names a kernel object (event, thread, port)
// through a table, so that a stale or made-up handle is refused with
// ERROR_INVALID_HANDLE instead of being dereferenced. Handle values are never
// reused while the process runs.
#pragma once

#include <memory>

#include "platform/base/types.h"

// Results of a wait on an object.
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

namespace platform {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Waits until the object is signalled; returns WAIT_OBJECT_0 or WAIT_TIMEOUT.
    // Objects that cannot be waited on return WAIT_FAILED with ERROR_INVALID_HANDLE.
    virtual DWORD Wait(DWORD milliseconds);
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

}  // namespace platform

BOOL CloseHandle(HANDLE hObject);
