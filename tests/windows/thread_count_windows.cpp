// The process's thread count on Windows (tests/support/thread_count.cpp
// waits for it to settle).
#include "platform/windows.h"

// After the system's headers, which it needs.
#include <tlhelp32.h>

#include "tests/support/test_env.h"

namespace trelvane::testing {

int RawThreadCount() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

}  // namespace trelvane::testing
