// Clang's thread-safety annotations. Built with clang and -Wthread-safety,
// the compiler proves that a field marked GUARDED_BY(lock) is touched only
// with that lock held, and that a function marked REQUIRES(lock) is called
// only with it held. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define TRELVANE_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define TRELVANE_THREAD_ATTRIBUTE(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(name) TRELVANE_THREAD_ATTRIBUTE(capability(name))
// A type whose objects hold a lock for their lifetime.
#define SCOPED_CAPABILITY TRELVANE_THREAD_ATTRIBUTE(scoped_lockable)
// A field read or written only with the lock held.
#define GUARDED_BY(lock) TRELVANE_THREAD_ATTRIBUTE(guarded_by(lock))
// A pointer whose target is read or written only with the lock held.
#define PT_GUARDED_BY(lock) TRELVANE_THREAD_ATTRIBUTE(pt_guarded_by(lock))
// A function called only with the locks held.
#define REQUIRES(...) TRELVANE_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
// A function called only with the locks free (it takes them itself).
#define EXCLUDES(...) TRELVANE_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// A function that returns with the locks held, or frees them.
#define ACQUIRE(...) TRELVANE_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TRELVANE_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
// A function the analysis skips; say at the place why it is safe.
#define NO_THREAD_SAFETY_ANALYSIS TRELVANE_THREAD_ATTRIBUTE(no_thread_safety_analysis)
