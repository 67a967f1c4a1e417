// Events sent together: while a HeldEvents lives on a thread, the events that
// thread sends to other processes wait in their connections' queues. When it
// ends, each connection's thread is woken to write them if it is idle in its
// wait (once for all its connections), or else this thread writes them, in
// one system call per connection either way; the peer wakes once for all of
// them. The order on each
// connection is the order in which they were sent (other senders write out
// what waits before their own frames).
#pragma once

#include <memory>
#include <vector>

namespace platform::remoting {
class Connection;
}

namespace platform {

class HeldEvents {
public:
    HeldEvents();
    ~HeldEvents();
    HeldEvents(const HeldEvents&) = delete;
    HeldEvents& operator=(const HeldEvents&) = delete;

    // The calling thread's innermost HeldEvents, or null.
    static HeldEvents* Current();
    // The connection has an event waiting that this scope is to write out.
    void Hold(std::shared_ptr<remoting::Connection> connection);

private:
    HeldEvents* m_outer;
    std::vector<std::shared_ptr<remoting::Connection>> m_connections;
};

}  // namespace platform
