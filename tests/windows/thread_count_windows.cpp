// The process's thread count on Windows, for the suites that check that no
// thread is left behind.
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

int ThreadCount() {
    // A thread that has returned may be listed for a moment: wait for the
    // count to settle.
    int last = -1;
    for (int i = 0; i < 50; ++i) {
        const int now = RawThreadCount();
        if (now == last) return now;
        last = now;
        Sleep(20);
    }
    return last;
}

}  // namespace trelvane::testing
