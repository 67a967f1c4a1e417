// One locking mistake (or its correct form) per PROBE_ value, compiled by
// clang with -Wthread-safety -Werror: the mistakes must not build.
#include "platform/base/mutex.h"
#include "platform/framework/critical_section_lock.h"

struct Shared {
    platform::Mutex mutex;
    int count GUARDED_BY(mutex) = 0;
    int* slot PT_GUARDED_BY(mutex) = nullptr;
    CRITICAL_SECTION cs;
    int state GUARDED_BY(cs) = 0;

    void Bump() REQUIRES(mutex) { ++count; }
    void Locking() EXCLUDES(mutex) { platform::MutexLock lock(mutex); }
};

void Probe(Shared& s) {
#if defined(PROBE_MUTEX_HELD)
    platform::MutexLock lock(s.mutex);
    ++s.count;
    *s.slot = 1;
    s.Bump();
#elif defined(PROBE_MUTEX_FREE)
    ++s.count;
#elif defined(PROBE_POINTEE_FREE)
    *s.slot = 1;
#elif defined(PROBE_REQUIRES_UNMET)
    s.Bump();
#elif defined(PROBE_EXCLUDES_HELD)
    platform::MutexLock lock(s.mutex);
    s.Locking();
#elif defined(PROBE_MUTEX_AFTER_SCOPE)
    { platform::MutexLock lock(s.mutex); }
    ++s.count;
#elif defined(PROBE_SECTION_HELD)
    CriticalSectionLock lock(s.cs);
    ++s.state;
#elif defined(PROBE_SECTION_FREE)
    ++s.state;
#elif defined(PROBE_SECTION_AFTER_SCOPE)
    { CriticalSectionLock lock(s.cs); }
    ++s.state;
#elif defined(PROBE_SECTION_ENTERED)
    EnterCriticalSection(&s.cs);
    ++s.state;
    LeaveCriticalSection(&s.cs);
#elif defined(PROBE_SECTION_LEFT_ENTERED)
    EnterCriticalSection(&s.cs);
    ++s.state;
#else
#error "no PROBE_ case given"
#endif
}
