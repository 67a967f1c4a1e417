#include "platform/remoting/proxy_manager.h"

#include <algorithm>

namespace platform::remoting {
namespace {

// The reply's error information: made the thread's when the call failed.
void TakeErrorInfo(Reader& r, bool failed) {
    if (r.U8() == 0) {
        if (failed) SetErrorInfo(0, nullptr);
        return;
    }
    const GUID guid = r.Guid();
    BSTR source = nullptr, description = nullptr, helpFile = nullptr;
    r.Bstr(&source) && r.Bstr(&description) && r.Bstr(&helpFile);
    const DWORD context = r.U32();
    ICreateErrorInfo* create = nullptr;
    if (r.Ok() && failed && SUCCEEDED(CreateErrorInfo(&create))) {
        create->SetGUID(guid);
        create->SetSource(source);
        create->SetDescription(description);
        create->SetHelpFile(helpFile);
        create->SetHelpContext(context);
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    SysFreeString(source);
    SysFreeString(description);
    SysFreeString(helpFile);
}

}  // namespace

ProxyManager::ProxyManager(std::shared_ptr<Connection> connection, std::uint32_t id)
    : m_connection(std::move(connection)), m_id(id) {}

ProxyManager::~ProxyManager() = default;

ULONG ProxyManager::Release() {
    // The last reference is dropped under the connection's object lock, so
    // that an import of the same object never finds a manager on its way out.
    ULONG refs = m_refs.load();
    while (refs > 1)
        if (m_refs.compare_exchange_weak(refs, refs - 1)) return refs - 1;
    return m_connection->DropProxy(this);
}

IUnknown* ProxyManager::Existing(REFIID iid) {
    MutexLock lock(m_mutex);
    for (auto& [known, proxy] : m_interfaces)
        if (known == iid) return proxy->Interface();
    return nullptr;
}

IUnknown* ProxyManager::InterfaceFor(REFIID iid, REFIID alias) {
    if (iid == IID_IUnknown) return static_cast<IRemoteObject*>(this);
    const InterfaceMarshaller* marshaller = FindInterface(iid);
    if (marshaller == nullptr || marshaller->createProxy == nullptr) return nullptr;
    MutexLock lock(m_mutex);
    for (auto& [known, proxy] : m_interfaces)
        if (known == iid) return proxy->Interface();
    // The object gave the same pointer for alias, whose proxy serves iid too.
    const InterfaceMarshaller* aliased = alias == GUID_NULL ? nullptr : FindInterface(alias);
    if (aliased && std::find(aliased->serves.begin(), aliased->serves.end(), iid) != aliased->serves.end())
        for (auto& [known, proxy] : m_interfaces)
            if (known == alias) {
                InterfaceProxy* shared = proxy;  // emplace_back may move the entries
                m_interfaces.emplace_back(iid, shared);
                return shared->Interface();
            }
    m_owned.emplace_back(marshaller->createProxy(*this, iid));
    m_interfaces.emplace_back(iid, m_owned.back().get());
    return m_owned.back()->Interface();
}

HRESULT ProxyManager::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IRemoteObject) {
        *ppv = static_cast<IRemoteObject*>(this);
        AddRef();
        return S_OK;
    }
    if (IUnknown* known = Existing(riid)) {
        known->AddRef();
        *ppv = known;
        return S_OK;
    }
    if (FindInterface(riid) == nullptr) return E_NOINTERFACE;
    Writer request = BeginRequest(*m_connection, m_id, IID_IUnknown, wire::method::kQueryInterface);
    request.Guid(riid);
    Reply reply;
    if (HRESULT hr = Transact(*m_connection, request, &reply); FAILED(hr)) return hr;
    void* itf = nullptr;
    m_connection->GetObject(reply.results, riid, &itf);
    const HRESULT hr = Finish(*m_connection, reply);
    if (FAILED(hr) || itf == nullptr) {
        if (itf) static_cast<IUnknown*>(itf)->Release();
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    *ppv = itf;
    return hr;
}

HRESULT InterfaceProxy::Call(UINT method, FunctionRef<void(Writer&)> encode, FunctionRef<void(Reader&)> decode) {
    Connection& connection = m_manager.Conn();
    Writer request = BeginRequest(connection, m_manager.Id(), m_iid, static_cast<std::uint16_t>(method));
    encode(request);
    Reply reply;
    if (HRESULT hr = Transact(connection, request, &reply); FAILED(hr)) return hr;
    decode(reply.results);
    return Finish(connection, reply);
}

bool InterfaceProxy::InvokeIsOneWay() const {
    const InterfaceMarshaller* marshaller = FindInterface(m_iid);
    return marshaller && marshaller->events && m_manager.Conn().GetSide() == Connection::Side::Server;
}

HRESULT InterfaceProxy::Post(UINT method, FunctionRef<void(Writer&)> encode) {
    Connection& connection = m_manager.Conn();
    Writer event = BeginFrame(&connection, wire::FrameType::Event);
    event.U32(m_manager.Id());
    event.Guid(m_iid);
    event.U16(static_cast<std::uint16_t>(method));
    encode(event);
    EndFrame(event);
    return connection.Send(std::move(event.Bytes()));
}

HRESULT InterfaceProxy::CallForObject(UINT method, REFIID iid, FunctionRef<void(Writer&)> encode, void** out) {
    *out = nullptr;
    const HRESULT hr = Call(method, encode, [&](Reader& r) { m_manager.Conn().GetObject(r, iid, out); });
    if (FAILED(hr) && *out) {
        static_cast<IUnknown*>(*out)->Release();
        *out = nullptr;
    }
    return hr;
}

HRESULT InterfaceProxy::QueryObject(REFIID riid, void** ppv) { return m_manager.QueryInterface(riid, ppv); }
ULONG InterfaceProxy::AddRefObject() { return m_manager.AddRef(); }
ULONG InterfaceProxy::ReleaseObject() { return m_manager.Release(); }

ParamShape ShapeOf(VARTYPE type) {
    const bool out = (type & VT_BYREF) != 0;
    switch (type & ~VT_BYREF) {
    case VT_I1:
    case VT_UI1: return {1, out};
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return {2, out};
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4: return {4, out};
    case VT_I8:
    case VT_UI8:
    case VT_R8: return {8, out};
    default: return {0, out};  // VT_BSTR
    }
}

HRESULT Transact(Connection& connection, Writer& request, Reply* reply) {
    if (HRESULT hr = connection.Call(request, connection.CallTimeout(), &reply->body); FAILED(hr)) return hr;
    return ReadReply(connection, reply);
}

HRESULT ReadReply(Connection& connection, Reply* reply) {
    Reader r(reply->body.data(), reply->body.size(), &connection);
    r.U8();   // the frame type
    r.U32();  // the call id
    reply->hr = r.I32();
    TakeErrorInfo(r, FAILED(reply->hr));
    const bool withResults = r.U8() != 0;
    if (!r.Ok() || (!withResults && (SUCCEEDED(reply->hr) || !r.AtEnd()))) {
        connection.Misbehaved("a malformed reply");
        return RPC_E_DISCONNECTED;
    }
    if (!withResults) return reply->hr;  // a failure that came without its results
    reply->results = r;
    return S_OK;
}

HRESULT Finish(Connection& connection, Reply& reply) {
    if (!reply.results.AtEnd()) {
        connection.Misbehaved("a malformed reply");
        return RPC_E_DISCONNECTED;
    }
    return reply.hr;
}

}  // namespace platform::remoting
