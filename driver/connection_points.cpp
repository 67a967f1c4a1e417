#include "driver/connection_points.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

namespace trelvane::driver {

// A fixed list of interface pointers, each held with one reference, that
// any number of enumerators (and their clones) share: N enumerators of one
// state of a point cost one copy of its sinks, not N.
template <class Item>
class SharedItems {
public:
    // items: no references of their own; each is taken here.
    explicit SharedItems(std::vector<Item> items) : m_items(std::move(items)) {
        for (auto& item : m_items) Unknown(item)->AddRef();
    }
    ~SharedItems() {
        // The items are the interfaces' own plain structures, so the references they carry are released by hand.
        for (auto& item : m_items) Unknown(item)->Release();
    }
    SharedItems(const SharedItems&) = delete;
    SharedItems& operator=(const SharedItems&) = delete;

    const std::vector<Item>& Items() const { return m_items; }
    static IUnknown* Unknown(const CONNECTDATA& item) { return item.pUnk; }
    static IUnknown* Unknown(IConnectionPoint* item) { return item; }

private:
    const std::vector<Item> m_items;
};

namespace {

// An enumerator over shared items. It holds a server lock while it lives,
// so that a client that holds only an enumerator keeps the server running.
template <class Enum, class Item, const IID& kIid>
class Enumerator final : public Enum, public platform::RefCounted {
public:
    using Items = std::shared_ptr<const SharedItems<Item>>;
    explicit Enumerator(Items items, ULONG position = 0) : m_items(std::move(items)), m_position(position) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == kIid) {
            *ppv = static_cast<Enum*>(this);
            AddRefImpl();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT Next(ULONG count, Item* out, ULONG* fetched) override {
        if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
        const std::vector<Item>& items = m_items->Items();
        ULONG n = 0;
        while (n < count && m_position < items.size()) {
            out[n] = items[m_position++];
            SharedItems<Item>::Unknown(out[n])->AddRef();
            ++n;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        const ULONG left = static_cast<ULONG>(m_items->Items().size()) - m_position;
        m_position += std::min(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_position = 0;
        return S_OK;
    }
    HRESULT Clone(Enum** out) override {
        if (out == nullptr) return E_POINTER;
        *out = new (std::nothrow) Enumerator(m_items, m_position);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    platform::ServerLock m_serverLock;
    const Items m_items;
    ULONG m_position;
};

using ConnectionEnumerator = Enumerator<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;
using PointEnumerator = Enumerator<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;

// The failing sink's exception, made the thread's error information.
void KeepErrorInfo(EXCEPINFO& ex) {
    if (ex.pfnDeferredFillIn) ex.pfnDeferredFillIn(&ex);
    platform::ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.Out()))) {
        create->SetGUID(IID_IDispatch);
        create->SetSource(ex.bstrSource);
        create->SetDescription(ex.bstrDescription);
        create->SetHelpFile(ex.bstrHelpFile);
        create->SetHelpContext(ex.dwHelpContext);
        platform::ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.Out()))))
            SetErrorInfo(0, info.Get());
    }
    platform::ClearExcepInfo(&ex);
}

// A sink let an exception out of an event: logged, and the event's result
// for that sink is RPC_E_SERVERFAULT, with the exception's text as its
// description.
HRESULT SinkThrew(DISPID dispid, std::exception_ptr exception, EXCEPINFO& ex) {
    std::string what = "not a standard exception";
    try {
        std::rethrow_exception(std::move(exception));
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
    }
    platform::log::Error(platform::log::Channel::driver,
                         "an event sink threw an exception (%s) from event %ld; the other sinks still get it",
                         what.c_str(), static_cast<long>(dispid));
    platform::ClearExcepInfo(&ex);
    ex.scode = RPC_E_SERVERFAULT;
    const platform::WString text = platform::FromUtf8(what);
    ex.bstrDescription = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return RPC_E_SERVERFAULT;
}

}  // namespace

ConnectionPoint::ConnectionPoint(IUnknown* owner, IConnectionPointContainer* container, REFIID iid)
    : m_owner(owner), m_container(container), m_iid(iid) {}

ConnectionPoint::~ConnectionPoint() { DisconnectAll(); }

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (pIID == nullptr) return E_POINTER;
    *pIID = m_iid;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (ppCPC == nullptr) return E_POINTER;
    *ppCPC = m_container;
    m_container->AddRef();
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (pUnkSink == nullptr || pdwCookie == nullptr) return E_POINTER;
    *pdwCookie = 0;
    platform::ComPtr<IUnknown> answer;
    const HRESULT hr = pUnkSink->QueryInterface(m_iid, reinterpret_cast<void**>(answer.Out()));
    if (hr == E_NOINTERFACE) return CONNECT_E_CANNOTCONNECT;
    if (FAILED(hr)) return hr;
    // The answer for a point of events (a dispinterface) is an IDispatch; a
    // sink of property changes is only held (no change is announced).
    Sink sink;
    try {
        sink = IsEqualIID(m_iid, IID_IPropertyNotifySink)
                   ? std::make_shared<const platform::SharedSink>(answer.Get())
                   : std::make_shared<const platform::SharedSink>(static_cast<IDispatch*>(answer.Get()));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    platform::MutexLock lock(m_mutex);
    std::size_t slot = m_firstFree;
    while (slot < m_slots.size() && m_slots[slot]) ++slot;
    if (slot == m_slots.size()) {
        try {
            m_slots.resize(m_slots.empty() ? 4 : m_slots.size() * 2);
        } catch (const std::bad_alloc&) {
            return CONNECT_E_ADVISELIMIT;
        }
    }
    m_slots[slot] = std::move(sink);
    m_firstFree = slot + 1;
    m_enumerated.reset();
    *pdwCookie = static_cast<DWORD>(slot + 1);
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD dwCookie) {
    Sink sink;  // released outside the lock: the sink may call back
    {
        platform::MutexLock lock(m_mutex);
        if (dwCookie == 0 || dwCookie > m_slots.size() || !m_slots[dwCookie - 1]) return CONNECT_E_NOCONNECTION;
        sink = std::move(m_slots[dwCookie - 1]);
        m_firstFree = std::min<std::size_t>(m_firstFree, dwCookie - 1);
        m_enumerated.reset();
    }
    return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    std::shared_ptr<const Connections> connections;
    try {
        platform::MutexLock lock(m_mutex);
        // The list of the last enumerator still alive while no sink came or
        // went; else a new one, which takes its references while the sinks
        // are still held here.
        connections = m_enumerated.lock();
        if (!connections) {
            std::vector<CONNECTDATA> items;
            for (std::size_t i = 0; i < m_slots.size(); ++i)
                if (m_slots[i]) items.push_back({m_slots[i]->Advised(), static_cast<DWORD>(i + 1)});
            connections = std::make_shared<const Connections>(std::move(items));
            m_enumerated = connections;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *ppEnum = new (std::nothrow) ConnectionEnumerator(std::move(connections));
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

std::vector<ConnectionPoint::Connection> ConnectionPoint::Snapshot() {
    std::vector<Connection> connections;
    platform::MutexLock lock(m_mutex);
    for (std::size_t i = 0; i < m_slots.size(); ++i)
        if (m_slots[i]) connections.push_back({static_cast<DWORD>(i + 1), m_slots[i]});
    return connections;
}

bool ConnectionPoint::Connected(DWORD cookie, const platform::SharedSink* sink) {
    platform::MutexLock lock(m_mutex);
    return cookie <= m_slots.size() && m_slots[cookie - 1].get() == sink;
}

HRESULT ConnectionPoint::Raise(DISPID dispid, const VARIANT* args, UINT count) {
    HRESULT last = S_OK;
    const std::vector<Connection> connections = Snapshot();
    platform::log::Trace(platform::log::Channel::driver, "event %ld to %zu sink(s)", static_cast<long>(dispid),
                         connections.size());
    for (const Connection& connection : connections) {
        if (Connected(connection.cookie, connection.sink.get())) {
            // DISPPARAMS lists the arguments last first; each sink gets its own copy.
            std::vector<VARIANT> reversed(args, args + count);
            std::reverse(reversed.begin(), reversed.end());
            DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, count, 0};
            VARIANT result;
            VariantInit(&result);
            EXCEPINFO ex{};
            UINT argErr = static_cast<UINT>(-1);
            platform::ComPtr<IDispatch> dispatch;
            HRESULT hr = connection.sink->ForThisThread(dispatch.Out());
            try {
                if (SUCCEEDED(hr))
                    hr = dispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &ex,
                                          &argErr);
            } catch (...) {
                // A sink's exception must not reach the raiser (the
                // listener's thread, a method of the object) nor keep the
                // event from the sinks after it.
                hr = SinkThrew(dispid, std::current_exception(), ex);
            }
            VariantClear(&result);
            if (FAILED(hr)) {
                platform::log::Trace(platform::log::Channel::driver, "event %ld to sink %lu failed (0x%08X)",
                                     static_cast<long>(dispid), static_cast<unsigned long>(connection.cookie),
                                     static_cast<unsigned>(hr));
                KeepErrorInfo(ex);
                last = hr;
            }
        }
    }
    return last;
}

void ConnectionPoint::DisconnectAll() {
    std::vector<Sink> sinks;  // released outside the lock
    {
        platform::MutexLock lock(m_mutex);
        sinks.swap(m_slots);
        m_firstFree = 0;
        m_enumerated.reset();
    }
}

HRESULT FindConnectionPointIn(ConnectionPoint* const* points, std::size_t count, REFIID riid, IConnectionPoint** ppCP) {
    if (ppCP == nullptr) return E_POINTER;
    *ppCP = nullptr;
    for (std::size_t i = 0; i < count; ++i)
        if (points[i]->Iid() == riid) {
            *ppCP = points[i];
            points[i]->AddRef();
            return S_OK;
        }
    return CONNECT_E_NOCONNECTION;
}

HRESULT EnumConnectionPointsOf(ConnectionPoint* const* points, std::size_t count, IEnumConnectionPoints** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    std::shared_ptr<const SharedItems<IConnectionPoint*>> items;
    try {
        items = std::make_shared<const SharedItems<IConnectionPoint*>>(
            std::vector<IConnectionPoint*>(points, points + count));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *ppEnum = new (std::nothrow) PointEnumerator(std::move(items));
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

}  // namespace trelvane::driver
