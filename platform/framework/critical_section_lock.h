// Holds a critical section from its construction to the end of its scope,
// so that no return or exception leaves it entered.
#pragma once

#include "platform/framework/system.h"

class SCOPED_CAPABILITY CriticalSectionLock {
public:
    explicit CriticalSectionLock(CRITICAL_SECTION& cs) ACQUIRE(cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
    ~CriticalSectionLock() RELEASE() { LeaveCriticalSection(&m_cs); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& m_cs;
};
