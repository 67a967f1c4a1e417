#include "platform/remoting/apartment.h"

#include <algorithm>
#include <chrono>

#include "platform/base/sync.h"
#include "platform/messages/thread_wait.h"
#include "platform/remoting/class_table.h"
#include "platform/remoting/limits.h"
#include "platform/remoting/objbase.h"
#include "platform/remoting/socket.h"

namespace platform::remoting {
namespace {

// The calling thread's apartment. Making the slot makes the thread's message
// queue first: thread-local objects end in the reverse order of their
// construction, so the queue outlives the apartment when the thread ends,
// and the apartment's end can still take its sockets out of the queue's
// waits (a thread that ends without CoUninitialize).
std::unique_ptr<Apartment>& ThreadApartment() {
    thread_local std::unique_ptr<Apartment> apartment = [] {
        PostedCount();
        return std::unique_ptr<Apartment>();
    }();
    return apartment;
}

}  // namespace

Apartment::Apartment() : m_thread(GetCurrentThreadId()) {}

Apartment::~Apartment() { CloseEverything(); }

Apartment* Apartment::Current() {
    const auto& apartment = ThreadApartment();
    return apartment && apartment->m_depth > 0 ? apartment.get() : nullptr;
}

HRESULT Apartment::Enter() {
    auto& apartment = ThreadApartment();
    if (!apartment) {
        apartment.reset(new Apartment);
        SetMessageProc(WM_REMOTING, &Apartment::OnMessage);
    }
    return apartment->m_depth++ == 0 ? S_OK : S_FALSE;
}

void Apartment::Leave() {
    auto& apartment = ThreadApartment();
    if (!apartment || apartment->m_depth == 0) return;
    if (--apartment->m_depth == 0) apartment->CloseEverything();
}

void Apartment::CloseEverything() {
    if (m_deadlineTimer) KillTimer(nullptr, m_deadlineTimer);
    m_deadlineTimer = 0;
    RevokeClassObjectsOf(m_thread);
    const auto connections = m_connections;
    for (const auto& connection : connections) connection->Cleanup();
    m_connections.clear();
    m_servers.clear();
    m_incoming.clear();
    m_buffered = 0;
}

void Apartment::Deliver(std::shared_ptr<Connection> connection, std::vector<BYTE> frame) {
    m_incoming.push_back({std::move(connection), std::move(frame)});
    PostThreadMessageW(m_thread, WM_REMOTING, 0, 0);
}

void Apartment::OnMessage(const MSG&) {
    if (Apartment* apartment = Current()) apartment->RunNext();
}

void Apartment::RunNext() {
    if (m_incoming.empty()) return;
    Incoming next = std::move(m_incoming.front());
    m_incoming.pop_front();
    Connection& connection = *next.connection;
    if (next.frame.empty()) {
        connection.Cleanup();
        return;
    }
    // What a peer sent before it was judged bad is dropped with it.
    if (connection.JudgedBad()) return;
    ++m_running;
    connection.EnterRun();
    RunIncoming(connection, next.frame);
    connection.LeaveRun();
    // A call that waited (for a callback to the peer) may have run the
    // connection's cleanup meanwhile, and then recorded what it hands the
    // peer (a sink's advice, an object): nobody would release that.
    if (connection.CleanedUp()) connection.ReleasePeerObjects();
    if (--m_running == 0) m_refusingNested = false;
}

bool Apartment::TooDeep(const Connection& connection) {
    if (m_running <= limits::kMaxNesting && connection.Running() <= limits::kMaxNestingPerPeer) return false;
    if (!m_refusingNested)
        Log("calls nest too deep (over %d, or over %d from the peer at pid %ld): refusing the calls that would "
            "nest further",
            limits::kMaxNesting, limits::kMaxNestingPerPeer, connection.PeerPid());
    m_refusingNested = true;
    return true;
}

bool Apartment::Wait(const std::function<bool()>& done, DWORD timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const bool forever = timeoutMs == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    // As the platform's modal wait does, the thread's own messages and timers
    // run too (the tick must not wait for a peer); a request to quit is kept
    // for the loop that waits outside this call.
    std::optional<WPARAM> quit;
    MSG msg;
    const auto finish = [&](bool result) {
        if (quit) PostQuitMessage(static_cast<int>(*quit));
        return result;
    };
    for (;;) {
        if (done()) {
            // What came before the answer runs before the caller goes on.
            while (PeekMessageW(&msg, nullptr, WM_REMOTING, WM_REMOTING, PM_REMOVE)) DispatchMessageW(&msg);
            return finish(true);
        }
        const std::uint64_t seen = PostedCount();
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                quit = msg.wParam;
            else
                DispatchMessageW(&msg);
            continue;
        }
        DWORD left = INFINITE;
        if (!forever) {
            const auto now = Clock::now();
            if (now >= deadline) return finish(false);
            left = static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
        }
        WaitForThreadActivity(seen, left, true);
    }
}

void Apartment::WatchDeadlines() {
    if (m_deadlineTimer == 0) m_deadlineTimer = SetTimer(nullptr, 0, limits::kDeadlineCheckMs, &OnDeadlineTimer);
}

void Apartment::OnDeadlineTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (Apartment* apartment = Current()) apartment->CheckDeadlines();
}

// Ends the connections whose greeting or frame is overdue; the timer stops
// once no deadline runs, so an idle server sleeps.
void Apartment::CheckDeadlines() {
    const auto now = Clock::now();
    bool running = false;
    const auto connections = m_connections;
    for (const auto& connection : connections) running = connection->CheckDeadline(now) || running;
    if (m_acceptPausedUntil && now >= *m_acceptPausedUntil) m_acceptPausedUntil.reset();
    if (running || m_acceptPausedUntil) return;
    KillTimer(nullptr, m_deadlineTimer);
    m_deadlineTimer = 0;
}

void Apartment::CountBuffered(std::ptrdiff_t delta) {
    m_buffered += static_cast<std::size_t>(delta);
    while (m_buffered > limits::kMaxBufferedBytes) {
        Connection* largest = nullptr;
        for (const auto& connection : m_connections)
            if (largest == nullptr || connection->Buffered() > largest->Buffered()) largest = connection.get();
        if (largest == nullptr || largest->Buffered() == 0) return;
        Log("unfinished frames hold %zu bytes over all connections; dropping the largest holder", m_buffered);
        largest->Misbehaved("the largest share of unfinished frames when they passed their bound");
    }
}

bool Apartment::AdmitConnection() {
    m_acceptFailing = false;
    const auto served = std::count_if(m_connections.begin(), m_connections.end(),
                                      [](const auto& c) { return c->GetSide() == Connection::Side::Server; });
    const bool room = static_cast<std::size_t>(served) < limits::kMaxConnections;
    if (!room && !m_atCap) Log("%zu connections: refusing more until one closes", limits::kMaxConnections);
    m_atCap = !room;
    return room;
}

void Apartment::PauseAccepting(int error) {
    if (!m_acceptFailing)
        Log("cannot accept a connection (errno %d): no longer listening until a connection closes or for %lu ms", error,
            static_cast<unsigned long>(limits::kAcceptPauseMs));
    m_acceptFailing = true;
    m_acceptPausedUntil = Clock::now() + std::chrono::milliseconds(limits::kAcceptPauseMs);
    WatchDeadlines();
}

void Apartment::Adopt(std::shared_ptr<Connection> connection) { m_connections.push_back(std::move(connection)); }

void Apartment::Forget(Connection* connection) {
    m_acceptPausedUntil.reset();  // its descriptor is free again
    std::erase_if(m_connections, [connection](const auto& c) { return c.get() == connection; });
    std::erase_if(m_servers, [](const auto& entry) { return entry.second.expired(); });
}

std::shared_ptr<Connection> Apartment::ServerAt(const std::string& path) {
    auto it = m_servers.find(path);
    if (it == m_servers.end()) return nullptr;
    auto connection = it->second.lock();
    if (connection && connection->Alive()) return connection;
    m_servers.erase(it);
    return nullptr;
}

void Apartment::RememberServer(const std::string& path, const std::shared_ptr<Connection>& connection) {
    m_servers[path] = connection;
}

}  // namespace platform::remoting

HRESULT CoInitialize(LPVOID pvReserved) {
    if (pvReserved != nullptr) return E_INVALIDARG;
    return platform::remoting::Apartment::Enter();
}

void CoUninitialize() { platform::remoting::Apartment::Leave(); }
