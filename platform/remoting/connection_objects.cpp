// The objects of a connection: what this side has handed to the peer
// (exports, by id), what the peer has handed to this side (proxy managers,
// by id), the peer's sinks standing in our connection points, and the
// server locks it holds; all of it given back when the peer goes.
#include <algorithm>
#include <map>

#include "platform/base/sync.h"
#include "platform/messages/thread_wait.h"
#include "platform/remoting/apartment.h"
#include "platform/remoting/connection.h"
#include "platform/remoting/limits.h"
#include "platform/remoting/proxy_manager.h"

namespace platform::remoting {
namespace {

// Whether the proxy of interface `of` serves `iid` too (it derives from it).
bool Serves(REFIID of, REFIID iid) {
    const InterfaceMarshaller* marshaller = FindInterface(of);
    return marshaller &&
           std::find(marshaller->serves.begin(), marshaller->serves.end(), iid) != marshaller->serves.end();
}

// The peer's sinks in our connection points are unadvised, each unless its
// slot changed hands meanwhile: a stand-in still there, or a proxy of the
// peer's (a sink of a point that is not one of events). Each point is looked
// through once for all of them, so that a peer with many sinks costs time in
// proportion.
void UnadviseSinks(Connection& peer, const std::vector<Advice>& advice) {
    std::map<IConnectionPoint*, std::vector<const Advice*>> byPoint;
    for (const Advice& a : advice) {
        if (a.gate) {
            MutexLock gate(a.gate->mutex);
            a.gate->open = false;
        }
        byPoint[a.point].push_back(&a);
    }
    for (const auto& [point, ours] : byPoint) {
        IEnumConnections* connections = nullptr;
        if (FAILED(point->EnumConnections(&connections))) continue;
        std::unordered_map<DWORD, IUnknown*> held;
        CONNECTDATA data;
        while (connections->Next(1, &data, nullptr) == S_OK) {
            held[data.dwCookie] = data.pUnk;
            data.pUnk->Release();  // the enumerator still holds it
        }
        std::vector<DWORD> cookies;
        for (const Advice* a : ours) {
            auto it = held.find(a->cookie);
            if (it != held.end() && (a->standIn ? it->second == a->standIn : peer.IsPeersObject(it->second)))
                cookies.push_back(a->cookie);
        }
        connections->Release();
        for (DWORD cookie : cookies) point->Unadvise(cookie);
    }
}

}  // namespace

void Connection::ReleasePeerObjects() {
    std::vector<Advice> advice;
    std::vector<std::pair<IClassFactory*, LONG>> locks;
    std::unordered_map<std::uint32_t, ExportEntry> exports;
    {
        MutexLock lock(m_objectsMutex);
        advice.swap(m_advice);
        locks.swap(m_serverLocks);
        exports.swap(m_exports);
        m_exportIds.clear();
    }
    UnadviseSinks(*this, advice);
    for (auto& [factory, count] : locks) {
        for (LONG i = 0; i < count; ++i) factory->LockServer(FALSE);
        factory->Release();
    }
    for (auto& [id, e] : exports) {
        for (auto& [iid, itf] : e.interfaces) itf->Release();
        e.identity->Release();
    }
}

std::uint32_t Connection::ExportObject(IUnknown* object, REFIID iid, GUID* alias) {
    IUnknown* identity = nullptr;
    if (FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))) || identity == nullptr) {
        identity = object;  // an object that does not answer for its identity stands for itself
        identity->AddRef();
    }
    std::uint32_t id;
    bool tooMany = false;
    {
        MutexLock lock(m_objectsMutex);
        auto known = m_exportIds.find(identity);
        if (known != m_exportIds.end()) {
            id = known->second;
            identity->Release();  // the entry holds one already
        } else {
            id = m_nextExportId++;
            m_exportIds.emplace(identity, id);
            m_exports.emplace(id, ExportEntry{identity, {}, 0});
            tooMany = m_exports.size() > limits::kMaxObjectsPerPeer;
        }
        ExportEntry& e = m_exports.at(id);
        *alias = GUID_NULL;
        bool handed = false;
        for (auto& [handedIid, itf] : e.interfaces) {
            if (handedIid == iid)
                handed = true;
            else if (itf == object && *alias == GUID_NULL && Serves(handedIid, iid))
                *alias = handedIid;
        }
        if (!handed) {
            object->AddRef();
            e.interfaces.emplace_back(iid, object);
        }
        ++e.remoteRefs;
    }
    // Each object held costs this process what the object holds (an
    // enumerator, a copy of its point's sinks): a peer that asks for more
    // of them than any client needs is let go, and they with it.
    if (tooMany && GetCurrentThreadId() == m_owner) Misbehaved("calls for more objects than a peer may hold");
    return id;
}

void Connection::PutObject(Writer& w, IUnknown* object, REFIID iid) {
    if (object == nullptr) {
        w.U8(static_cast<std::uint8_t>(wire::RefKind::Null));
        return;
    }
    IRemoteObject* remote = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID_IRemoteObject, reinterpret_cast<void**>(&remote)))) {
        ProxyManager* manager = remote->Manager();
        remote->Release();
        if (&manager->Conn() == this) {  // the peer's own object, going home
            w.U8(static_cast<std::uint8_t>(wire::RefKind::ReceiversObject));
            w.U32(manager->Id());
            w.Guid(iid);
            return;
        }
    }
    GUID alias;
    const std::uint32_t id = ExportObject(object, iid, &alias);
    w.U8(static_cast<std::uint8_t>(wire::RefKind::SendersObject));
    w.U32(id);
    w.Guid(iid);
    w.Guid(alias);
}

bool Connection::GetObject(Reader& r, REFIID iid, void** out) {
    *out = nullptr;
    const auto kind = static_cast<wire::RefKind>(r.U8());
    if (kind == wire::RefKind::Null) return r.Ok();
    const std::uint32_t id = r.U32();
    const GUID sent = r.Guid();
    if (!r.Ok() || !(sent == iid) || FindInterface(iid) == nullptr) {
        r.Fail();
        return false;
    }
    if (kind == wire::RefKind::ReceiversObject) {
        IUnknown* itf = HandedInterface(id, IID_IUnknown);
        if (itf == nullptr) {
            r.Fail();
            return false;
        }
        const HRESULT hr = itf->QueryInterface(iid, out);
        itf->Release();
        return SUCCEEDED(hr) || (r.Fail(), false);
    }
    if (kind != wire::RefKind::SendersObject) {
        r.Fail();
        return false;
    }
    const GUID alias = r.Guid();
    if (!r.Ok() || id == wire::kClassTable) {
        r.Fail();
        return false;
    }
    Import(id, iid, alias, out);
    return true;
}

void Connection::Import(std::uint32_t id, REFIID iid, REFIID alias, void** out) {
    ProxyManager* manager;
    {
        MutexLock lock(m_objectsMutex);
        auto it = m_imports.find(id);
        if (it != m_imports.end()) {
            manager = it->second;
            ++manager->m_refs;
            ++manager->m_remoteRefs;
        } else {
            manager = new ProxyManager(shared_from_this(), id);
            m_imports.emplace(id, manager);
        }
    }
    *out = manager->InterfaceFor(iid, alias);
}

ULONG Connection::DropProxy(ProxyManager* manager) {
    const auto self = shared_from_this();  // the manager may hold the last reference to this connection
    ULONG left, remoteRefs = 0;
    {
        MutexLock lock(m_objectsMutex);
        left = --manager->m_refs;
        if (left == 0) {
            auto it = m_imports.find(manager->Id());
            if (it != m_imports.end() && it->second == manager) m_imports.erase(it);
            remoteRefs = manager->m_remoteRefs;
        }
    }
    if (left != 0) return left;
    if (Alive()) {
        Writer release = BeginFrame(this, wire::FrameType::Release);
        release.U32(manager->Id());
        release.U32(remoteRefs);
        EndFrame(release);
        Send(std::move(release.Bytes()));
    }
    delete manager;
    CloseIfIdle();
    return 0;
}

void Connection::CloseIfIdle(bool atOnce) {
    // A client that holds nothing of the server's, and gives it nothing to
    // hold, lets the connection go once it has stayed so for a while: an
    // activation meanwhile uses it, and spares the connection's set-up.
    if (m_side != Side::Client) return;
    if (GetCurrentThreadId() != m_owner) {
        // Only the owner closes: its wait looks again and checks (OnReady).
        m_idleCheck = true;
        WakeThread(m_owner);
        return;
    }
    if (m_closed || !m_pending.empty()) return;
    {
        MutexLock lock(m_objectsMutex);
        if (!m_imports.empty() || !m_exports.empty()) return;
    }
    if (atOnce) {
        Close();
        return;
    }
    m_idleUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIdleConnectionMs);
    if (Apartment* apartment = Apartment::Current()) apartment->WatchDeadlines();
}

IUnknown* Connection::HandedInterface(std::uint32_t id, REFIID iid) {
    MutexLock lock(m_objectsMutex);
    auto it = m_exports.find(id);
    if (it == m_exports.end()) return nullptr;
    if (iid == IID_IUnknown) {
        it->second.identity->AddRef();
        return it->second.identity;
    }
    for (auto& [handedIid, itf] : it->second.interfaces)
        if (handedIid == iid) {
            itf->AddRef();
            return itf;
        }
    return nullptr;
}

bool Connection::ReleaseExport(std::uint32_t id, std::uint32_t count) {
    ExportEntry gone{};
    {
        MutexLock lock(m_objectsMutex);
        auto it = m_exports.find(id);
        if (it == m_exports.end() || count == 0 || count > it->second.remoteRefs) return false;
        it->second.remoteRefs -= count;
        if (it->second.remoteRefs > 0) return true;
        gone = std::move(it->second);
        m_exportIds.erase(gone.identity);
        m_exports.erase(it);
    }
    for (auto& [iid, itf] : gone.interfaces) itf->Release();
    gone.identity->Release();
    CloseIfIdle();
    return true;
}

void Connection::AddAdvice(const Advice& advice) {
    MutexLock lock(m_objectsMutex);
    m_advice.push_back(advice);
}

std::size_t Connection::AdviceCount() {
    MutexLock lock(m_objectsMutex);
    return m_advice.size();
}

void Connection::RemoveAdvice(IUnknown* standIn) {
    MutexLock lock(m_objectsMutex);
    std::erase_if(m_advice, [standIn](const Advice& a) { return a.standIn == standIn; });
}

bool Connection::HasAdvice(IConnectionPoint* point, DWORD cookie) {
    MutexLock lock(m_objectsMutex);
    return std::any_of(m_advice.begin(), m_advice.end(),
                       [&](const Advice& a) { return a.point == point && a.cookie == cookie; });
}

bool Connection::IsPeersObject(IUnknown* object) {
    IRemoteObject* remote = nullptr;
    if (FAILED(object->QueryInterface(IID_IRemoteObject, reinterpret_cast<void**>(&remote)))) return false;
    const bool peers = &remote->Manager()->Conn() == this;
    remote->Release();
    return peers;
}

std::shared_ptr<SinkGate> Connection::TakeAdvice(IConnectionPoint* point, DWORD cookie) {
    MutexLock lock(m_objectsMutex);
    for (auto it = m_advice.begin(); it != m_advice.end(); ++it)
        if (it->point == point && it->cookie == cookie) {
            auto gate = it->gate;
            m_advice.erase(it);
            return gate;
        }
    return nullptr;
}

bool Connection::NoteServerLock(IClassFactory* factory, bool lock) {
    MutexLock guard(m_objectsMutex);
    auto it = std::find_if(m_serverLocks.begin(), m_serverLocks.end(),
                           [factory](const auto& entry) { return entry.first == factory; });
    if (lock) {
        if (it == m_serverLocks.end()) {
            factory->AddRef();
            m_serverLocks.emplace_back(factory, 1);
        } else {
            ++it->second;
        }
        return true;
    }
    if (it == m_serverLocks.end() || it->second == 0) return false;
    --it->second;
    return true;
}

}  // namespace platform::remoting
