// SIGINT, SIGTERM and SIGHUP end a tool cleanly: they are blocked in
// every thread and taken from a signalfd by a thread of their own, which
// reports each one. SIGPIPE is ignored, so a reader that goes away shows as a
// failed write, not as a death that leaves the link behind. On Windows the
// console's Ctrl+C, Ctrl+Break and close are reported, on the thread the
// system starts for each.
#pragma once

#include <functional>
#include <memory>

namespace trelvane::tools {

class SignalWatcher {
public:
    // Call before any other thread starts, so that all of them inherit it.
    static void BlockStopSignals();

    // program names the tool in its own failure messages.
    SignalWatcher(const char* program, std::function<void(const char* name)> onSignal);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;
    // Whether the signals are watched.
    bool Ok() const;

    struct Watch;  // the system's part, each system's own

private:
    const char* m_program;
    std::function<void(const char*)> m_onSignal;
    std::unique_ptr<Watch> m_watch;
};

}  // namespace trelvane::tools
