// Runs the calling thread's message loop until a condition holds, for tests
// whose thread is a client's apartment: its connections are served, and its
// timers run, only while it waits.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>

#include "platform/windows.h"

namespace trelvane::testing {

// Dispatches this thread's messages until pred holds (true) or the time is up.
inline bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::min<long long>(left.count(), 50)), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    return true;
}

}  // namespace trelvane::testing
