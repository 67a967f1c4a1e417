// The apartment of a thread: the connections it owns, the calls and events
// that came in for it and wait to run, and the wait that runs them.
//
// Incoming frames are read by the owning thread itself while it waits (the
// sockets are sources of its message waits), queued here, and announced by
// one WM_REMOTING message each, which DispatchMessageW runs. A thread that
// waits for the reply to its own call runs the calls and events that come
// in meanwhile, and before the call returns, those that came before its
// reply: a call returns after the events it caused.
//
// The apartment also keeps what its peers may cost: how deep incoming calls
// nest, the deadlines of greetings and frames, the bytes of unfinished
// frames over all connections, and how many connections a server takes
// (limits.h).
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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
    // Waits, running what comes in for this apartment and the thread's
    // messages and timers (a WM_QUIT is put back when the wait ends), until
    // done() holds (then runs what is queued already, and returns true) or
    // the time is up.
    bool Wait(const std::function<bool()>& done, DWORD timeoutMs);

    // Whether a request from connection, about to run, would nest too deep
    // (logged once per episode); the request is then refused.
    bool TooDeep(const Connection& connection);
    // A connection has a deadline running: the apartment checks it.
    void WatchDeadlines();
    // A connection's unfinished frames grew or shrank by delta bytes; past
    // the bound over all connections, the largest holder is dropped.
    void CountBuffered(std::ptrdiff_t delta);

    // Accepting connections for a server: whether one just accepted may
    // stay (a refusal is logged once per episode), and a pause of the
    // listening socket after accept failed (for want of a descriptor; logged
    // once until an accept succeeds again).
    bool AdmitConnection();
    void PauseAccepting(int error);
    bool AcceptPaused() const { return m_acceptPausedUntil.has_value(); }

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

    using Clock = std::chrono::steady_clock;

    Apartment();
    static void OnMessage(const MSG& msg);
    static void OnDeadlineTimer(HWND, UINT, UINT_PTR, DWORD);
    void RunNext();
    void CheckDeadlines();
    void CloseEverything();

    DWORD m_thread;
    int m_depth = 0;
    int m_running = 0;  // incoming frames running, one inside the other
    bool m_refusingNested = false;
    UINT_PTR m_deadlineTimer = 0;
    std::size_t m_buffered = 0;
    bool m_atCap = false;
    bool m_acceptFailing = false;
    std::optional<Clock::time_point> m_acceptPausedUntil;
    std::deque<Incoming> m_incoming;
    std::vector<std::shared_ptr<Connection>> m_connections;
    std::map<std::string, std::weak_ptr<Connection>> m_servers;
};

// Runs one frame that came in over connection (stub.cpp).
void RunIncoming(Connection& connection, std::vector<BYTE>& frame);

}  // namespace platform::remoting
