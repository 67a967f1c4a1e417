// Wall-clock time with milliseconds, as the C runtime's _ftime64_s gives it,
// and the millisecond tick counter.
#pragma once

#include "platform/base/types.h"

struct __timeb64 {
    std::int64_t time;      // seconds since 1970-01-01 00:00 UTC
    std::uint16_t millitm;  // milliseconds within that second, 0 to 999
    std::int16_t timezone;  // minutes west of UTC; always 0 here
    std::int16_t dstflag;   // always 0 here
};

// Returns 0, or EINVAL's value 22 for a null pointer.
int _ftime64_s(__timeb64* timeptr);

// Milliseconds since an arbitrary start, from a monotonic clock.
DWORD GetTickCount();
