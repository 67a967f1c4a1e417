// Creating objects of a class that another process serves: a connection to
// the class's socket (one per apartment and server, kept while it is in
// use; the class's registered server is started when none listens), then
// the class object or an instance through the server's class table.
#include "platform/remoting/apartment.h"
#include "platform/remoting/objbase.h"
#include "platform/remoting/proxy_manager.h"
#include "platform/remoting/server_launch.h"
#include "platform/remoting/socket.h"

namespace platform::remoting {
namespace {

// How long a server may take to answer a new connection.
constexpr DWORD kHandshakeTimeoutMs = 30000;

// A request to the class table of the class's server, and its reply. A
// connection kept from before carries it as any call; a new one carries it
// right behind its greeting, so that connecting costs no round trip of its
// own.
HRESULT CallClassTable(Apartment& apartment, REFCLSID clsid, std::uint16_t method, REFIID riid, Reply* reply,
                       std::shared_ptr<Connection>* used) {
    auto requestOn = [&](Connection& connection) {
        Writer request = BeginRequest(connection, wire::kClassTable, GUID_NULL, method);
        request.Guid(clsid);
        request.Guid(riid);
        return request;
    };
    const std::string path = ClassSocketPath(clsid);
    if ((*used = apartment.ServerAt(path))) {
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
    Writer request = requestOn(*connection);
    hr = connection->Handshake(kHandshakeTimeoutMs, &request, &reply->body);
    // A connection that was welcomed is kept, whatever the request's outcome.
    if (connection->Welcomed()) apartment.RememberServer(path, connection);
    return SUCCEEDED(hr) ? ReadReply(*connection, reply) : hr;
}

// The object for riid that the class table's method gives: the class
// object, or an instance of the class.
HRESULT ObjectFromClassTable(Apartment& apartment, REFCLSID clsid, std::uint16_t method, REFIID riid, LPVOID* ppv) {
    Reply reply;
    std::shared_ptr<Connection> server;
    if (HRESULT hr = CallClassTable(apartment, clsid, method, riid, &reply, &server); FAILED(hr)) return hr;
    server->GetObject(reply.results, riid, ppv);
    const HRESULT hr = Finish(*server, reply);
    if (FAILED(hr) && *ppv) {
        static_cast<IUnknown*>(*ppv)->Release();
        *ppv = nullptr;
    }
    return hr;
}

// The server at the other end has gone, or no longer hands out its class object.
bool ServerWentAway(HRESULT hr) { return hr == RPC_E_DISCONNECTED || hr == CO_E_SERVER_STOPPING; }

// A connection kept from before may lead to a server that has gone since or
// is shutting down (it has withdrawn its class object), and a fresh one may
// reach a server in the moment it withdraws it: then once more, afresh,
// which starts a new server when none listens.
HRESULT FromClassTable(Apartment& apartment, REFCLSID clsid, std::uint16_t method, REFIID riid, LPVOID* ppv) {
    HRESULT hr = RPC_E_DISCONNECTED;
    for (int attempt = 0; attempt < 3 && ServerWentAway(hr); ++attempt) {
        hr = ObjectFromClassTable(apartment, clsid, method, riid, ppv);
        if (ServerWentAway(hr)) apartment.ForgetServer(ClassSocketPath(clsid));
    }
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
    return FromClassTable(*apartment, rclsid, wire::method::kCreateClassInstance, riid, ppv);
}
