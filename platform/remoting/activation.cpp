// Creating objects of a class that another process serves: a connection to
// the class's socket (one per apartment and server, kept while it is in use
// and for a while after; the class's registered server is started when none
// listens), then the class object or an instance through the server's class
// table.
#include <algorithm>
#include <deque>
#include <mutex>

#include "platform/remoting/apartment.h"
#include "platform/remoting/objbase.h"
#include "platform/remoting/proxy_manager.h"
#include "platform/remoting/server_launch.h"
#include "platform/remoting/socket.h"

namespace platform::remoting {
namespace {

// How long a server may take to answer a new connection.
constexpr DWORD kHandshakeTimeoutMs = 30000;

// Servers of the first release, whose class table runs no CreateInstance and
// closes a connection that asks it. Their greeting does not announce it, but a
// new connection sends its first request before the greeting comes back; so
// the servers met are remembered (by process id, a few at most: they are
// met only while an upgrade is under way), and each is asked once at most.
class EarlierServers {
public:
    bool Has(long pid) {
        std::lock_guard lock(m_mutex);
        return std::find(m_pids.begin(), m_pids.end(), pid) != m_pids.end();
    }
    void Add(long pid) {
        std::lock_guard lock(m_mutex);
        if (m_pids.size() == kKept) m_pids.pop_front();
        m_pids.push_back(pid);
    }

private:
    static constexpr std::size_t kKept = 8;
    std::mutex m_mutex;
    std::deque<long> m_pids;
};

EarlierServers& Earlier() {
    static EarlierServers* servers = new EarlierServers;  // never destroyed: threads may outlive statics
    return *servers;
}

// A request to the class table of the class's server, and its reply. A
// connection kept from before carries it as any call; a new one carries it
// right behind its greeting, so that connecting costs no round trip of its
// own. *unknown: the request is CreateInstance and the server does not run it
// (it was not sent, or the server closed the connection on it); the reply is
// then empty.
HRESULT CallClassTable(Apartment& apartment, REFCLSID clsid, std::uint16_t method, REFIID riid, Reply* reply,
                       std::shared_ptr<Connection>* used, bool* unknown) {
    auto requestOn = [&](Connection& connection) {
        Writer request = BeginRequest(connection, wire::kClassTable, GUID_NULL, method);
        request.Guid(clsid);
        request.Guid(riid);
        return request;
    };
    const bool creating = method == wire::method::kCreateClassInstance;
    const std::string path = ClassSocketPath(clsid);
    if ((*used = apartment.ServerAt(path))) {
        if (creating && !(*used)->PeerCreatesInstances()) return *unknown = true, S_OK;
        Writer request = requestOn(**used);
        return Transact(**used, request, reply);
    }
    bool noServer = false;
    HRESULT hr;
    int fd = ConnectTo(path, &noServer, &hr);
    if (fd < 0 && noServer) fd = LaunchLocalServer(clsid, &hr);
    if (fd < 0) return hr;
    const Peer peer = PeerOf(fd);
    if (!peer.sameUser) {
        Log("the server at %s runs as user %ld, not as this one; not using it", path.c_str(), peer.uid);
        CloseSocket(fd);
        return E_ACCESSDENIED;
    }
    auto connection = std::make_shared<Connection>(fd, Connection::Side::Client, apartment.Thread(), peer.pid);
    apartment.Adopt(connection);
    connection->Start();
    *used = connection;
    // A server met before that did not know CreateInstance is not asked
    // again until its greeting says it does (its process id taken by another).
    const bool ask = !creating || !Earlier().Has(peer.pid);
    Writer request = requestOn(*connection);
    hr = connection->Handshake(kHandshakeTimeoutMs, ask ? &request : nullptr, &reply->body);
    const bool notRun = creating && connection->Welcomed() && !connection->PeerCreatesInstances();
    if (notRun && ask) {
        // It closes the connection on the request (or has): a new one serves
        // the separate steps.
        Earlier().Add(peer.pid);
        connection->Close();
        *unknown = true;
        return S_OK;
    }
    // A connection that was welcomed is kept, whatever the request's outcome.
    if (connection->Welcomed()) apartment.RememberServer(path, connection);
    if (FAILED(hr)) return hr;
    if (notRun) return *unknown = true, S_OK;
    return ask ? ReadReply(*connection, reply) : Transact(*connection, request, reply);
}

// The object for riid that the class table's method gives: the class
// object, or an instance of the class.
HRESULT ObjectFromClassTable(Apartment& apartment, REFCLSID clsid, std::uint16_t method, REFIID riid, LPVOID* ppv,
                             bool* unknown) {
    Reply reply;
    std::shared_ptr<Connection> server;
    HRESULT hr = CallClassTable(apartment, clsid, method, riid, &reply, &server, unknown);
    if (SUCCEEDED(hr) && !*unknown) {
        server->GetObject(reply.results, riid, ppv);
        hr = Finish(*server, reply);
        if (FAILED(hr) && *ppv) {
            static_cast<IUnknown*>(*ppv)->Release();
            *ppv = nullptr;
        }
    }
    // A connection that the request left holding nothing (it failed) goes
    // after its idle time, as after an object's release.
    if (server) server->CloseIfIdle();
    return hr;
}

// The server at the other end has gone, or no longer hands out its class object.
bool ServerWentAway(HRESULT hr) { return hr == RPC_E_DISCONNECTED || hr == CO_E_SERVER_STOPPING; }

// A connection kept from before may lead to a server that has gone since or
// is shutting down (it has withdrawn its class object), and a fresh one may
// reach a server in the moment it withdraws it: then once more, afresh,
// which starts a new server when none listens.
HRESULT FromClassTable(Apartment& apartment, REFCLSID clsid, std::uint16_t method, REFIID riid, LPVOID* ppv,
                       bool* unknown = nullptr) {
    bool notRun = false;
    HRESULT hr = RPC_E_DISCONNECTED;
    for (int attempt = 0; attempt < 3 && ServerWentAway(hr) && !notRun; ++attempt) {
        hr = ObjectFromClassTable(apartment, clsid, method, riid, ppv, &notRun);
        if (ServerWentAway(hr)) apartment.ForgetServer(ClassSocketPath(clsid));
    }
    if (unknown) *unknown = notRun;
    return hr;
}

}  // namespace
}  // namespace platform::remoting

using namespace platform::remoting;

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    if (pvReserved != nullptr) return E_INVALIDARG;  // other machines are not served
    if (!(dwClsContext & CLSCTX_LOCAL_SERVER)) return REGDB_E_CLASSNOTREG;
    Apartment* apartment = Apartment::Current();
    if (apartment == nullptr) return CO_E_NOTINITIALIZED;
    if (FindInterface(riid) == nullptr) return E_NOINTERFACE;
    return FromClassTable(*apartment, rclsid, wire::method::kGetClassObject, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    if (!(dwClsContext & CLSCTX_LOCAL_SERVER)) return REGDB_E_CLASSNOTREG;
    Apartment* apartment = Apartment::Current();
    if (apartment == nullptr) return CO_E_NOTINITIALIZED;
    // The class object and its instance in one request: the server runs
    // both steps and answers as they would have.
    bool unknown = false;
    const HRESULT hr = FromClassTable(*apartment, rclsid, wire::method::kCreateClassInstance, riid, ppv, &unknown);
    if (!unknown) return hr;
    // A server of the first release: the steps one by one.
    platform::ComPtr<IClassFactory> factory;
    if (HRESULT got = FromClassTable(*apartment, rclsid, wire::method::kGetClassObject, IID_IClassFactory,
                                     reinterpret_cast<void**>(factory.Out()));
        FAILED(got))
        return got;
    return factory->CreateInstance(nullptr, riid, ppv);
}
