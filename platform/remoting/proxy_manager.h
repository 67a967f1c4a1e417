// The proxy manager: one remote object (its identity) as this process sees
// it. It holds one set of remote references however many local ones there
// are, and makes one interface proxy (proxy_stub.h) per interface asked for.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/remoting/connection.h"
#include "platform/remoting/proxy_stub.h"

namespace platform::remoting {

// Answered by proxies (and by the stand-ins of remote sinks): which
// connection and object they stand for, so that a proxy handed back to its
// own peer crosses as the peer's own object.
struct IRemoteObject : IUnknown {
    virtual ProxyManager* Manager() = 0;
};
inline constexpr IID IID_IRemoteObject{0x6F1E3C2A, 0x57B0, 0x4E1D, {0x9C, 0x4A, 0x2E, 0x61, 0x0B, 0x7D, 0x33, 0xA5}};

class ProxyManager final : public IRemoteObject {
public:
    ProxyManager(std::shared_ptr<Connection> connection, std::uint32_t id);
    ~ProxyManager();

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override;
    ProxyManager* Manager() override { return this; }

    Connection& Conn() { return *m_connection; }
    std::uint32_t Id() const { return m_id; }
    // The proxy for iid (no new reference), made if needed; alias names an
    // interface whose proxy serves iid too. Null when iid cannot cross.
    IUnknown* InterfaceFor(REFIID iid, REFIID alias);

    // Changed by the connection under its object lock.
    std::atomic<ULONG> m_refs{1};
    ULONG m_remoteRefs = 1;

private:
    IUnknown* Existing(REFIID iid);

    std::shared_ptr<Connection> m_connection;
    const std::uint32_t m_id;
    Mutex m_mutex;
    std::vector<std::unique_ptr<InterfaceProxy>> m_owned GUARDED_BY(m_mutex);
    std::vector<std::pair<IID, InterfaceProxy*>> m_interfaces GUARDED_BY(m_mutex);  // an alias shares a proxy
};

// The reply of a call, checked: its HRESULT, and the results to decode.
// The caller's thread gets the reply's error information when it failed.
struct Reply {
    std::vector<BYTE> body;
    HRESULT hr = S_OK;
    Reader results;
};
// Sends a request (see BeginRequest) and waits for its reply.
HRESULT Transact(Connection& connection, Writer& request, Reply* reply);
// Decodes a reply's body that has come in (reply->body): its HRESULT and
// error information, and its results; as Transact returns.
HRESULT ReadReply(Connection& connection, Reply* reply);
// After decoding: the reply's HRESULT, or RPC_E_DISCONNECTED (the peer
// disconnected for it) when the results were malformed.
HRESULT Finish(Connection& connection, Reply& reply);

}  // namespace platform::remoting
