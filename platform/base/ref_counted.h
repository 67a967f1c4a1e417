// The reference count of an object that implements IUnknown itself, the
// same on both systems.
#pragma once

#include <atomic>

#ifdef _WIN32
#include "platform/windows_system.h"
#else
#include "platform/base/types.h"
#endif

namespace platform {

// The count starts at 1 for the creator.
class RefCounted {
public:
    ULONG AddRefImpl() { return ++m_refs; }
    ULONG ReleaseImpl();  // deletes the object at zero

protected:
    virtual ~RefCounted() = default;

private:
    std::atomic<ULONG> m_refs{1};
};

}  // namespace platform
