// SIGINT, SIGTERM and SIGHUP end a tool cleanly: they are blocked in
// every thread and taken from a signalfd by a thread of their own, which
// reports each one. SIGPIPE is ignored, so a reader that goes away shows as a
// failed write, not as a death that leaves the link behind.
#pragma once

#include <functional>
#include <thread>

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
    bool Ok() const { return m_signalFd >= 0 && m_wakeFd >= 0; }

private:
    void Run();

    const char* m_program;
    std::function<void(const char*)> m_onSignal;
    int m_signalFd = -1;
    int m_wakeFd = -1;
    std::thread m_thread;
};

}  // namespace trelvane::tools
