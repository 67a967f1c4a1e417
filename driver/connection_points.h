// Connection points: sink lists with cookies, their enumerators, and the
// raising of an event to every connected sink.
//
// Delivery works on a snapshot of the sinks that holds its own references,
// taken under a lock that is never held while a sink runs. So a sink may
// advise or unadvise (itself or others) from inside an event, and another
// thread may do so while an event is delivered:
// - a sink unadvised before its turn comes is not called;
// - a sink advised while an event is delivered gets the next event, not
//   this one.
#pragma once

#include <memory>
#include <vector>

#include "platform/windows.h"

namespace trelvane::driver {

template <class Item>
class SharedItems;

class ConnectionPoint final : public IConnectionPoint {
public:
    // owner: the object whose reference count the point shares.
    ConnectionPoint(IUnknown* owner, IConnectionPointContainer* container, REFIID iid);
    ~ConnectionPoint();

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return m_owner->AddRef(); }
    ULONG Release() override { return m_owner->Release(); }

    HRESULT GetConnectionInterface(IID* pIID) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    HRESULT Unadvise(DWORD dwCookie) override;
    HRESULT EnumConnections(IEnumConnections** ppEnum) override;

    REFIID Iid() const { return m_iid; }
    // Calls DISPID on every connected sink in slot order; args in parameter
    // order (the raiser keeps ownership). A failing sink's exception becomes
    // the thread's error information; the result is the last failure or S_OK.
    // A sink that throws fails with RPC_E_SERVERFAULT (and is logged); the
    // sinks after it still get the event.
    HRESULT Raise(DISPID dispid, const VARIANT* args, UINT count);
    // Releases every sink (the owner is going away).
    void DisconnectAll();

private:
    // A sink is kept so that the listener's thread can call it as well.
    using Sink = std::shared_ptr<const platform::SharedSink>;
    struct Connection {
        DWORD cookie;
        Sink sink;  // keeps the sink alive while it is called
    };
    std::vector<Connection> Snapshot();
    bool Connected(DWORD cookie, const platform::SharedSink* sink);

    // Sinks with their cookies, each held once, for the enumerators of one
    // state of the point.
    using Connections = SharedItems<CONNECTDATA>;

    IUnknown* m_owner;
    IConnectionPointContainer* m_container;
    const IID m_iid;
    platform::Mutex m_mutex;
    // No slots until the first Advise, then 4, doubling when full.
    std::vector<Sink> m_slots GUARDED_BY(m_mutex);
    // No slot before it is free, so that many advises cost no rescans.
    std::size_t m_firstFree GUARDED_BY(m_mutex) = 0;
    // What the enumerators alive share while no sink comes or goes: one
    // copy of the sinks, however many a client asks for.
    std::weak_ptr<const Connections> m_enumerated GUARDED_BY(m_mutex);
};

// The container's half: finding and enumerating a fixed list of points.
HRESULT FindConnectionPointIn(ConnectionPoint* const* points, std::size_t count, REFIID riid, IConnectionPoint** ppCP);
HRESULT EnumConnectionPointsOf(ConnectionPoint* const* points, std::size_t count, IEnumConnectionPoints** ppEnum);

}  // namespace trelvane::driver
