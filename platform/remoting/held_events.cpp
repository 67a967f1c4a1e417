#include "platform/remoting/held_events.h"

#include <algorithm>

#include "platform/messages/thread_wait.h"
#include "platform/remoting/connection.h"

namespace platform {

namespace {
thread_local HeldEvents* t_current = nullptr;
}

HeldEvents::HeldEvents() : m_outer(t_current) { t_current = this; }

HeldEvents::~HeldEvents() {
    t_current = m_outer;
    // Another thread (the serial listener) leaves the writing to the owner
    // while the owner waits, idle: the owner writes all that waits as soon as
    // it wakes, and the raiser is back at its own work at once. An owner that
    // is busy would leave the peers without their events meanwhile, so then
    // the raiser writes them itself. One wake-up serves all of an owner's
    // connections: its next wait looks at every one that has frames queued.
    std::vector<DWORD> woken;
    for (const auto& connection : m_connections) {
        const DWORD owner = connection->Owner();
        bool handedOver = std::find(woken.begin(), woken.end(), owner) != woken.end();
        if (!handedOver && owner != GetCurrentThreadId() && WakeThreadIfWaiting(owner)) {
            woken.push_back(owner);
            handedOver = true;
        }
        connection->SendHeld(handedOver);
    }
}

HeldEvents* HeldEvents::Current() { return t_current; }

void HeldEvents::Hold(std::shared_ptr<remoting::Connection> connection) {
    if (std::find(m_connections.begin(), m_connections.end(), connection) == m_connections.end())
        m_connections.push_back(std::move(connection));
}

}  // namespace platform
