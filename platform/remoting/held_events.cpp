#include "platform/remoting/held_events.h"

#include <algorithm>

#include "platform/remoting/connection.h"

namespace platform {

namespace {
thread_local HeldEvents* t_current = nullptr;
}

HeldEvents::HeldEvents() : m_outer(t_current) { t_current = this; }

HeldEvents::~HeldEvents() {
    t_current = m_outer;
    for (const auto& connection : m_connections) connection->SendHeld();
}

HeldEvents* HeldEvents::Current() { return t_current; }

void HeldEvents::Hold(std::shared_ptr<remoting::Connection> connection) {
    if (std::find(m_connections.begin(), m_connections.end(), connection) == m_connections.end())
        m_connections.push_back(std::move(connection));
}

}  // namespace platform
