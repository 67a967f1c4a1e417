// Connection points across processes. A sink given to Advise stays in the
// client; the server's point holds a stand-in that sends each event to it
// one-way. The stand-in's gate closes when the client's Unadvise has run,
// so no event follows that Unadvise, and when the client goes, its sinks
// are unadvised at once.
#include <algorithm>

#include "platform/remoting/connection.h"
#include "platform/remoting/limits.h"
#include "platform/remoting/proxy_manager.h"
#include "platform/remoting/proxy_stub.h"

namespace platform::remoting {
namespace {

using namespace wire::method;

// Stands in a connection point's slot for a sink in another process.
class RemoteSink final : public IDispatch, public RefCounted {
public:
    RemoteSink(IUnknown* sink, REFIID iid, const std::shared_ptr<Connection>& connection)
        : m_sink(sink), m_iid(iid), m_connection(connection) {}
    ~RemoteSink() override {
        if (auto connection = m_connection.lock()) connection->RemoveAdvice(Identity());
        if (m_target) m_target->Release();
    }
    IUnknown* Identity() { return static_cast<IDispatch*>(this); }
    const std::shared_ptr<SinkGate>& Gate() const { return m_gate; }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        // A proxy's identity: handed back to the client, it is the client's own sink.
        if (riid == IID_IRemoteObject) return m_sink->QueryInterface(riid, ppv);
        if (riid == m_iid || riid == IID_IDispatch) {
            if (m_target == nullptr)
                if (HRESULT hr = m_sink->QueryInterface(m_iid, reinterpret_cast<void**>(&m_target)); FAILED(hr))
                    return hr;
        } else if (!(riid == IID_IUnknown)) {
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IDispatch*>(this);
        AddRefImpl();
        return S_OK;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        return m_target ? m_target->GetTypeInfoCount(pctinfo) : E_UNEXPECTED;
    }
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
        return m_target ? m_target->GetTypeInfo(iTInfo, lcid, ppTInfo) : E_UNEXPECTED;
    }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override {
        return m_target ? m_target->GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId) : E_UNEXPECTED;
    }
    // The event goes out one-way, so the gate is held only while it is queued.
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        MutexLock lock(m_gate->mutex);
        if (!m_gate->open) return S_OK;
        if (m_target == nullptr) return E_UNEXPECTED;
        return m_target->Invoke(dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
    }

private:
    ComPtr<IUnknown> m_sink;
    const IID m_iid;
    IDispatch* m_target = nullptr;  // the sink's proxy for m_iid, set by the point's Advise
    std::weak_ptr<Connection> m_connection;
    std::shared_ptr<SinkGate> m_gate = std::make_shared<SinkGate>();
};

// A sink for a point of events gets a stand-in.
bool NeedsStandIn(REFIID pointIid) {
    const InterfaceMarshaller* marshaller = FindInterface(pointIid);
    return marshaller != nullptr && marshaller->events;
}

void RunAdvise(IConnectionPoint* point, StubCall& call) {
    IUnknown* sink = nullptr;
    call.connection.GetObject(call.in, IID_IUnknown, reinterpret_cast<void**>(&sink));
    ComPtr<IUnknown> hold = ComPtr<IUnknown>::Attach(sink);
    if (!call.in.AtEnd()) return;
    DWORD cookie = 0;
    // Refused before the point asks the sink anything: each sink costs the
    // server a slot and, when the client goes, a removal.
    if (call.connection.AdviceCount() >= limits::kMaxSinksPerClient) {
        call.hr = CONNECT_E_ADVISELIMIT;
        call.out.U32(cookie);
        return;
    }
    // A peer advises sinks of its own. Any other would be held for it
    // uncounted and past its end; another peer's would get events it never
    // asked for, and an event raised to the point's own object raises it
    // again without end.
    if (sink != nullptr && !call.connection.IsPeersObject(sink)) {
        call.hr = CONNECT_E_CANNOTCONNECT;
        call.out.U32(cookie);
        return;
    }
    IID pointIid = GUID_NULL;
    point->GetConnectionInterface(&pointIid);
    if (sink == nullptr || !NeedsStandIn(pointIid)) {
        call.hr = point->Advise(sink, &cookie);
        if (SUCCEEDED(call.hr)) call.connection.AddAdvice({point, cookie, nullptr, nullptr});
    } else {
        auto* standIn = new RemoteSink(sink, pointIid, call.connection.shared_from_this());
        call.hr = point->Advise(standIn->Identity(), &cookie);
        if (SUCCEEDED(call.hr)) call.connection.AddAdvice({point, cookie, standIn->Identity(), standIn->Gate()});
        standIn->Release();
    }
    call.out.U32(cookie);
}

// A peer unadvises only the cookies it advised: any other is another
// client's sink, which would stop getting events without a word to it.
void RunUnadvise(IConnectionPoint* point, StubCall& call) {
    const DWORD cookie = call.in.U32();
    if (!call.in.AtEnd()) return;
    if (!call.connection.HasAdvice(point, cookie)) {
        call.hr = CONNECT_E_NOCONNECTION;
        return;
    }
    call.hr = point->Unadvise(cookie);
    // No longer on the point (a caller in this process may have unadvised
    // it): the record goes too, so that the cookie's next owner keeps it.
    if (FAILED(call.hr) && call.hr != CONNECT_E_NOCONNECTION) return;
    if (auto gate = call.connection.TakeAdvice(point, cookie)) {
        MutexLock lock(gate->mutex);  // waits for an event being queued on another thread
        gate->open = false;
    }
}

class ContainerProxy final : public ProxyOf<IConnectionPointContainer> {
public:
    using ProxyOf::ProxyOf;
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
        if (ppEnum == nullptr) return E_POINTER;
        return CallForObject(
            kEnumConnectionPoints, IID_IEnumConnectionPoints, [](Writer&) {}, reinterpret_cast<void**>(ppEnum));
    }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
        if (ppCP == nullptr) return E_POINTER;
        return CallForObject(
            kFindConnectionPoint, IID_IConnectionPoint, [&](Writer& w) { w.Guid(riid); },
            reinterpret_cast<void**>(ppCP));
    }
};

bool ContainerStub(void* object, std::uint16_t slot, StubCall& call) {
    auto* container = static_cast<IConnectionPointContainer*>(object);
    IUnknown* result = nullptr;
    IID iid;
    if (slot == kEnumConnectionPoints) {
        if (!call.in.AtEnd()) return false;
        iid = IID_IEnumConnectionPoints;
        call.hr = container->EnumConnectionPoints(reinterpret_cast<IEnumConnectionPoints**>(&result));
    } else if (slot == kFindConnectionPoint) {
        const GUID point = call.in.Guid();
        if (!call.in.AtEnd()) return false;
        iid = IID_IConnectionPoint;
        call.hr = container->FindConnectionPoint(point, reinterpret_cast<IConnectionPoint**>(&result));
    } else {
        return false;
    }
    call.connection.PutObject(call.out, SUCCEEDED(call.hr) ? result : nullptr, iid);
    if (result) result->Release();
    return true;
}

class PointProxy final : public ProxyOf<IConnectionPoint> {
public:
    using ProxyOf::ProxyOf;
    HRESULT GetConnectionInterface(IID* pIID) override {
        if (pIID == nullptr) return E_POINTER;
        return Call(
            kGetConnectionInterface, [](Writer&) {}, [&](Reader& r) { *pIID = r.Guid(); });
    }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
        if (ppCPC == nullptr) return E_POINTER;
        return CallForObject(
            kGetConnectionPointContainer, IID_IConnectionPointContainer, [](Writer&) {},
            reinterpret_cast<void**>(ppCPC));
    }
    HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
        if (pUnkSink == nullptr || pdwCookie == nullptr) return E_POINTER;
        *pdwCookie = 0;
        return Call(
            kAdvise, [&](Writer& w) { w.Conn()->PutObject(w, pUnkSink, IID_IUnknown); },
            [&](Reader& r) { *pdwCookie = r.U32(); });
    }
    HRESULT Unadvise(DWORD dwCookie) override { return CallTyped(kUnadvise, dwCookie); }
    HRESULT EnumConnections(IEnumConnections** ppEnum) override {
        if (ppEnum == nullptr) return E_POINTER;
        return CallForObject(
            kEnumConnections, IID_IEnumConnections, [](Writer&) {}, reinterpret_cast<void**>(ppEnum));
    }
};

bool PointStub(void* object, std::uint16_t slot, StubCall& call) {
    auto* point = static_cast<IConnectionPoint*>(object);
    switch (slot) {
    case kGetConnectionInterface: {
        if (!call.in.AtEnd()) return false;
        IID iid = GUID_NULL;
        call.hr = point->GetConnectionInterface(&iid);
        call.out.Guid(iid);
        return true;
    }
    case kGetConnectionPointContainer: {
        if (!call.in.AtEnd()) return false;
        IConnectionPointContainer* container = nullptr;
        call.hr = point->GetConnectionPointContainer(&container);
        call.connection.PutObject(call.out, SUCCEEDED(call.hr) ? container : nullptr, IID_IConnectionPointContainer);
        if (container) container->Release();
        return true;
    }
    case kAdvise: RunAdvise(point, call); return call.in.Ok();
    case kUnadvise: RunUnadvise(point, call); return call.in.Ok();
    case kEnumConnections: {
        if (!call.in.AtEnd()) return false;
        IEnumConnections* connections = nullptr;
        call.hr = point->EnumConnections(&connections);
        call.connection.PutObject(call.out, SUCCEEDED(call.hr) ? connections : nullptr, IID_IEnumConnections);
        if (connections) connections->Release();
        return true;
    }
    default: return false;
    }
}

// The items of the two enumerators: a point, or a sink with its cookie.
void PutItem(Writer& w, IConnectionPoint* point) { w.Conn()->PutObject(w, point, IID_IConnectionPoint); }
void PutItem(Writer& w, const CONNECTDATA& data) {
    w.Conn()->PutObject(w, data.pUnk, IID_IUnknown);
    w.U32(data.dwCookie);
}
void GetItem(Reader& r, IConnectionPoint** point) {
    r.Conn()->GetObject(r, IID_IConnectionPoint, reinterpret_cast<void**>(point));
}
void GetItem(Reader& r, CONNECTDATA* data) {
    r.Conn()->GetObject(r, IID_IUnknown, reinterpret_cast<void**>(&data->pUnk));
    data->dwCookie = r.U32();
}
IUnknown* UnknownOf(IConnectionPoint* point) { return point; }
IUnknown* UnknownOf(const CONNECTDATA& data) { return data.pUnk; }

template <class Enum, class Item, const IID& kIid>
class EnumProxy final : public ProxyOf<Enum> {
public:
    using ProxyOf<Enum>::ProxyOf;
    HRESULT Next(ULONG celt, Item* items, ULONG* fetched) override {
        if (items == nullptr || (celt > 1 && fetched == nullptr)) return E_POINTER;
        if (celt > wire::kMaxItems) return E_INVALIDARG;
        ULONG got = 0;
        const HRESULT hr = this->Call(
            kNext,
            [&](Writer& w) {
                w.U32(celt);
                w.U8(fetched != nullptr);
            },
            [&](Reader& r) {
                const std::uint32_t n = r.Count(celt, 1);
                for (got = 0; got < n && r.Ok(); ++got) GetItem(r, &items[got]);
            });
        if (fetched) *fetched = got;
        return hr;
    }
    HRESULT Skip(ULONG celt) override { return this->CallTyped(kSkip, celt); }
    HRESULT Reset() override { return this->CallTyped(kReset); }
    HRESULT Clone(Enum** ppEnum) override {
        if (ppEnum == nullptr) return E_POINTER;
        return this->CallForObject(
            kClone, kIid, [](Writer&) {}, reinterpret_cast<void**>(ppEnum));
    }
};

template <class Enum, class Item, const IID& kIid>
bool EnumStub(void* object, std::uint16_t slot, StubCall& call) {
    auto* items = static_cast<Enum*>(object);
    switch (slot) {
    case kNext: {
        const std::uint32_t count = call.in.U32();
        const bool wantFetched = call.in.U8() != 0;
        if (!call.in.AtEnd() || count > wire::kMaxItems) return false;
        std::vector<Item> fetchedItems(count);
        ULONG fetched = 0;
        call.hr = items->Next(count, fetchedItems.data(), wantFetched ? &fetched : nullptr);
        if (!wantFetched) fetched = call.hr == S_OK ? count : 0;
        fetched = std::min<ULONG>(fetched, count);
        call.out.U32(fetched);
        for (ULONG i = 0; i < fetched; ++i) {
            PutItem(call.out, fetchedItems[i]);
            UnknownOf(fetchedItems[i])->Release();
        }
        return true;
    }
    case kSkip: return TypedStub<&Enum::Skip>(object, call);
    case kReset: return TypedStub<&Enum::Reset>(object, call);
    case kClone: {
        if (!call.in.AtEnd()) return false;
        Enum* clone = nullptr;
        call.hr = items->Clone(&clone);
        call.connection.PutObject(call.out, SUCCEEDED(call.hr) ? clone : nullptr, kIid);
        if (clone) clone->Release();
        return true;
    }
    default: return false;
    }
}

using PointsEnumProxy = EnumProxy<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;
using ConnectionsEnumProxy = EnumProxy<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;

}  // namespace

void RegisterConnectionPointInterfaces() {
    RegisterInterface({IID_IConnectionPointContainer, false, false, 5, {}, &MakeProxy<ContainerProxy>, &ContainerStub});
    RegisterInterface({IID_IConnectionPoint, false, false, 8, {}, &MakeProxy<PointProxy>, &PointStub});
    RegisterInterface({IID_IEnumConnectionPoints,
                       false,
                       false,
                       7,
                       {},
                       &MakeProxy<PointsEnumProxy>,
                       &EnumStub<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>});
    RegisterInterface({IID_IEnumConnections,
                       false,
                       false,
                       7,
                       {},
                       &MakeProxy<ConnectionsEnumProxy>,
                       &EnumStub<IEnumConnections, CONNECTDATA, IID_IEnumConnections>});
}

}  // namespace platform::remoting
