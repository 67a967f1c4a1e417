#include "platform/remoting/apartment.h"

#include <chrono>

#include "platform/base/sync.h"
#include "platform/messages/thread_wait.h"
#include "platform/remoting/class_table.h"
#include "platform/remoting/objbase.h"

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
    RevokeClassObjectsOf(m_thread);
    const auto connections = m_connections;
    for (const auto& connection : connections) connection->Cleanup();
    m_connections.clear();
    m_servers.clear();
    m_incoming.clear();
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
    if (next.frame.empty())
        next.connection->Cleanup();
    else
        RunIncoming(*next.connection, next.frame);
}

bool Apartment::Wait(const std::function<bool()>& done, DWORD timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const bool forever = timeoutMs == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    MSG msg;
    for (;;) {
        if (done()) {
            // What came before the answer runs before the caller goes on.
            while (PeekMessageW(&msg, nullptr, WM_REMOTING, WM_REMOTING, PM_REMOVE)) DispatchMessageW(&msg);
            return true;
        }
        const std::uint64_t seen = PostedCount();
        if (PeekMessageW(&msg, nullptr, WM_REMOTING, WM_REMOTING, PM_REMOVE)) {
            DispatchMessageW(&msg);
            continue;
        }
        DWORD left = INFINITE;
        if (!forever) {
            const auto now = Clock::now();
            if (now >= deadline) return false;
            left = static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
        }
        WaitForThreadActivity(seen, left, false);
    }
}

void Apartment::Adopt(std::shared_ptr<Connection> connection) { m_connections.push_back(std::move(connection)); }

void Apartment::Forget(Connection* connection) {
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
