// Creating objects of a class that another process serves: a connection to
// the class's socket (one per apartment and server, kept while it is in
// use; the class's registered server is started when none listens), then
// the class object through the server's class table.
#include "platform/remoting/apartment.h"
#include "platform/remoting/objbase.h"
#include "platform/remoting/proxy_manager.h"
#include "platform/remoting/server_launch.h"
#include "platform/remoting/socket.h"

namespace platform::remoting {
namespace {

// How long a server may take to answer a new connection.
constexpr DWORD kHandshakeTimeoutMs = 30000;

HRESULT ConnectToClass(Apartment& apartment, REFCLSID clsid, std::shared_ptr<Connection>* out) {
    const std::string path = ClassSocketPath(clsid);
    if ((*out = apartment.ServerAt(path))) return S_OK;
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
    if (hr = connection->Handshake(kHandshakeTimeoutMs); FAILED(hr)) return hr;
    apartment.RememberServer(path, connection);
    *out = std::move(connection);
    return S_OK;
}

// The class object for riid, from the class table of the server at the
// other end of the connection.
HRESULT ClassObjectOf(Connection& server, REFCLSID clsid, REFIID riid, LPVOID* ppv) {
    Writer request = BeginRequest(server, wire::kClassTable, GUID_NULL, wire::method::kGetClassObject);
    request.Guid(clsid);
    request.Guid(riid);
    Reply reply;
    if (HRESULT hr = Transact(server, request, &reply); FAILED(hr)) return hr;
    server.GetObject(reply.results, riid, ppv);
    const HRESULT hr = Finish(server, reply);
    if (FAILED(hr) && *ppv) {
        static_cast<IUnknown*>(*ppv)->Release();
        *ppv = nullptr;
    }
    return hr;
}

// The server at the other end has gone, or no longer hands out its class object.
bool ServerWentAway(HRESULT hr) { return hr == RPC_E_DISCONNECTED || hr == CO_E_SERVER_STOPPING; }

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
    // A connection kept from before may lead to a server that has gone since
    // or is shutting down (it has withdrawn its class object), and a fresh
    // one may reach a server in the moment it withdraws it: then once more,
    // afresh, which starts a new server when none listens.
    HRESULT hr = RPC_E_DISCONNECTED;
    for (int attempt = 0; attempt < 3 && ServerWentAway(hr); ++attempt) {
        std::shared_ptr<Connection> server;
        hr = ConnectToClass(*apartment, rclsid, &server);
        if (SUCCEEDED(hr)) hr = ClassObjectOf(*server, rclsid, riid, ppv);
        if (ServerWentAway(hr)) apartment->ForgetServer(ClassSocketPath(rclsid));
    }
    return hr;
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    IClassFactory* factory = nullptr;
    if (HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                      reinterpret_cast<void**>(&factory));
        FAILED(hr))
        return hr;
    const HRESULT hr = factory->CreateInstance(nullptr, riid, ppv);
    factory->Release();
    return hr;
}
