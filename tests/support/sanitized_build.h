// TRELVANE_SANITIZED_BUILD: defined when this code is built with AddressSanitizer
// or ThreadSanitizer, whose allocators keep freed memory back, so that the
// resident memory and the heap in use show no bound. GCC names the
// sanitizer with a macro, clang as a feature.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRELVANE_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TRELVANE_SANITIZED_BUILD 1
#endif
#endif
