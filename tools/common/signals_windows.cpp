#include <cstdio>
#include <mutex>

#include "platform/windows.h"
#include "tools/common/signals.h"

namespace trelvane::tools {

// The console calls its handlers on a thread it starts for each event, with
// no context of theirs: the one watcher that is to hear them is kept here, and
// the lock keeps it alive while a handler calls it.
struct SignalWatcher::Watch {
    bool installed = false;

    static std::mutex lock;
    static const std::function<void(const char*)>* onSignal;  // guarded by lock

    static BOOL WINAPI Handler(DWORD event) {
        const char* name = event == CTRL_C_EVENT       ? "Ctrl+C"
                           : event == CTRL_BREAK_EVENT ? "Ctrl+Break"
                           : event == CTRL_CLOSE_EVENT ? "the console's closing"
                                                       : nullptr;
        if (name == nullptr) return FALSE;  // log-off and shut-down: the system's default
        std::lock_guard guard(lock);
        if (onSignal == nullptr) return FALSE;
        (*onSignal)(name);
        return TRUE;
    }
};

std::mutex SignalWatcher::Watch::lock;
const std::function<void(const char*)>* SignalWatcher::Watch::onSignal = nullptr;

// Nothing to block: the console reports its events to the handlers alone.
void SignalWatcher::BlockStopSignals() {}

SignalWatcher::SignalWatcher(const char* program, std::function<void(const char*)> onSignal)
    : m_program(program), m_onSignal(std::move(onSignal)), m_watch(std::make_unique<Watch>()) {
    {
        std::lock_guard guard(Watch::lock);
        Watch::onSignal = &m_onSignal;
    }
    m_watch->installed = SetConsoleCtrlHandler(&Watch::Handler, TRUE);
    if (!m_watch->installed)
        std::fprintf(stderr, "%s: cannot watch for Ctrl+C: %s\n", m_program, SystemMessageText(GetLastError()).c_str());
}

bool SignalWatcher::Ok() const { return m_watch->installed; }

SignalWatcher::~SignalWatcher() {
    if (m_watch->installed) SetConsoleCtrlHandler(&Watch::Handler, FALSE);
    std::lock_guard guard(Watch::lock);
    Watch::onSignal = nullptr;
}

}  // namespace trelvane::tools
