// The apartment of a thread: the connections it owns, the calls and events
// that came in for it and wait to run, and the wait that runs them.
//
// Incoming frames are read by the owning thread itself while it waits (the
// sockets are sources of its message waits), queued here, and announced by
// one WM_REMOTING message each, which DispatchMessageW runs. A thread that
// waits for the reply to its own call runs the calls and events that come
// in meanwhile, and before the call returns, those that came before its
// reply: a call returns after the events it caused.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/messages/messages.h"
#include "platform/remoting/connection.h"

namespace platform::remoting {

// The message that announces one queued frame (in the range the platform
// leaves to registered messages).
constexpr UINT WM_REMOTING = 0xC0DE;

class Apartment {
public:
    // The calling thread's apartment, or null when it has entered none.
    static Apartment* Current();
    static HRESULT Enter();  // CoInitialize
    static void Leave();     // CoUninitialize

    DWORD Thread() const { return m_thread; }

    // A frame for this apartment from connection; an empty frame asks for
    // the connection's cleanup.
    void Deliver(std::shared_ptr<Connection> connection, std::vector<BYTE> frame);
    // Waits, running what comes in for this apartment, until done() holds
    // (then runs what is queued already, and returns true) or the time is up.
    bool Wait(const std::function<bool()>& done, DWORD timeoutMs);

    void Adopt(std::shared_ptr<Connection> connection);
    void Forget(Connection* connection);
    // The open connection to the server at path, if any.
    std::shared_ptr<Connection> ServerAt(const std::string& path);
    void RememberServer(const std::string& path, const std::shared_ptr<Connection>& connection);
    // Activations no longer use the connection to the server at path; its
    // objects stay connected.
    void ForgetServer(const std::string& path) { m_servers.erase(path); }

    ~Apartment();

private:
    struct Incoming {
        std::shared_ptr<Connection> connection;
        std::vector<BYTE> frame;
    };

    Apartment();
    static void OnMessage(const MSG& msg);
    void RunNext();
    void CloseEverything();

    DWORD m_thread;
    int m_depth = 0;
    std::deque<Incoming> m_incoming;
    std::vector<std::shared_ptr<Connection>> m_connections;
    std::map<std::string, std::weak_ptr<Connection>> m_servers;
};

// Runs one frame that came in over connection (stub.cpp).
void RunIncoming(Connection& connection, std::vector<BYTE>& frame);

}  // namespace platform::remoting
