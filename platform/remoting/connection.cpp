#include "platform/remoting/connection.h"

#include <poll.h>

#include <algorithm>

#include "platform/base/fd_io.h"
#include "platform/base/sync.h"
#include "platform/messages/thread_wait.h"
#include "platform/remoting/apartment.h"
#include "platform/remoting/proxy_manager.h"
#include "platform/remoting/socket.h"

namespace platform::remoting {
namespace {

using wire::FrameType;

// How long a server waits for a client to answer a call to one of the
// client's objects.
constexpr DWORD kCallbackTimeoutMs = 5000;
// Offsets inside a request frame.
constexpr std::size_t kTypeOffset = wire::kLengthPrefix;
constexpr std::size_t kCallIdOffset = kTypeOffset + 1;

constexpr HRESULT RPC_E_VERSION_MISMATCH = static_cast<HRESULT>(0x80010110);

// Whether the proxy of interface `of` serves `iid` too (it derives from it).
bool Serves(REFIID of, REFIID iid) {
    const InterfaceMarshaller* marshaller = FindInterface(of);
    return marshaller && std::find(marshaller->serves.begin(), marshaller->serves.end(), iid) != marshaller->serves.end();
}

std::uint32_t ReadU32(const BYTE* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

Writer BeginFrame(Connection* connection, FrameType type) {
    Writer w(connection);
    w.U32(0);
    w.U8(static_cast<std::uint8_t>(type));
    return w;
}

void EndFrame(Writer& w) { w.PatchU32(0, static_cast<std::uint32_t>(w.Size() - wire::kLengthPrefix)); }

Writer BeginRequest(Connection& connection, std::uint32_t objectId, REFIID iid, std::uint16_t method) {
    Writer w = BeginFrame(&connection, FrameType::Request);
    w.U32(0);  // the call id
    w.U32(objectId);
    w.Guid(iid);
    w.U16(method);
    return w;
}

Connection::Connection(int fd, Side side, DWORD owner, long peerPid)
    : m_side(side),
      m_owner(owner),
      m_peerPid(peerPid),
      m_fd(fd),
      m_handshaking(side == Side::Server ? Handshaking::AwaitingHello : Handshaking::AwaitingWelcome) {}

Connection::~Connection() { CloseSocket(m_fd); }

void Connection::Start() {
    std::weak_ptr<Connection> self = weak_from_this();
    m_sourceId = AddWaitSource({m_fd,
                                [self] {
                                    auto connection = self.lock();
                                    return connection ? connection->WaitEvents() : short(0);
                                },
                                [self](short revents) {
                                    if (auto connection = self.lock()) connection->OnReady(revents);
                                }});
}

HRESULT Connection::Handshake(DWORD timeoutMs) {
    Writer hello = BeginFrame(this, FrameType::Hello);
    hello.U32(wire::kMagic);
    hello.U16(wire::kVersion);
    hello.U32(wire::kMaxFrame);
    EndFrame(hello);
    if (HRESULT hr = Send(std::move(hello.Bytes())); FAILED(hr)) return hr;
    Apartment* apartment = Apartment::Current();
    const bool answered =
        apartment->Wait([this] { return m_handshaking == Handshaking::Done || !Alive(); }, timeoutMs);
    if (m_handshaking == Handshaking::Done) return m_handshakeResult;
    Log("the server at pid %ld did not %s", m_peerPid, answered ? "accept the connection" : "answer in time");
    Close();
    return CO_E_SERVER_EXEC_FAILURE;
}

DWORD Connection::CallTimeout() const { return m_side == Side::Server ? kCallbackTimeoutMs : INFINITE; }

short Connection::WaitEvents() const {
    return static_cast<short>(POLLIN | (m_hasQueued.load() && Alive() ? POLLOUT : 0));
}

HRESULT Connection::Send(std::vector<BYTE> frame) {
    std::lock_guard lock(m_writeMutex);
    if (m_broken) return RPC_E_DISCONNECTED;
    if (frame.size() - wire::kLengthPrefix > m_peerMaxFrame) return E_INVALIDARG;
    if (m_queue.empty()) {
        std::size_t sent = 0;
        if (WriteAvailable(m_fd, FdKind::Socket, frame.data(), frame.size(), &sent) != ERROR_SUCCESS) {
            m_broken = true;  // the owner sees the socket close and cleans up
            ShutDownSocket(m_fd);
            WakeThread(m_owner);
            return RPC_E_DISCONNECTED;
        }
        if (sent == frame.size()) return S_OK;
        m_frontSent = sent;
    }
    m_queuedBytes += frame.size();
    m_queue.push_back(std::move(frame));
    if (m_queuedBytes > wire::kMaxQueuedBytes) {
        Log("the peer at pid %ld reads nothing and has %zu bytes waiting; disconnecting it", m_peerPid,
            m_queuedBytes);
        m_broken = true;
        ShutDownSocket(m_fd);
    }
    m_hasQueued = true;
    if (GetCurrentThreadId() != m_owner) WakeThread(m_owner);  // its wait should watch for room to write
    return m_broken ? RPC_E_DISCONNECTED : S_OK;
}

void Connection::Flush() {
    std::lock_guard lock(m_writeMutex);
    while (!m_queue.empty() && !m_broken) {
        std::vector<BYTE>& front = m_queue.front();
        std::size_t sent = 0;
        if (WriteAvailable(m_fd, FdKind::Socket, front.data() + m_frontSent, front.size() - m_frontSent, &sent) !=
            ERROR_SUCCESS) {
            m_broken = true;
            ShutDownSocket(m_fd);
            break;
        }
        m_frontSent += sent;
        if (m_frontSent < front.size()) break;  // the socket is full again
        m_queuedBytes -= front.size();
        m_frontSent = 0;
        m_queue.pop_front();
    }
    m_hasQueued = !m_queue.empty() && !m_broken;
}

void Connection::OnReady(short revents) {
    if (revents & POLLOUT) Flush();
    if (revents & ~POLLOUT) ReadFrames();
}

void Connection::ReadFrames() {
    const DWORD result =
        ReadAvailable(m_fd, FdKind::Socket, [this](const BYTE* data, std::size_t size) {
            m_in.insert(m_in.end(), data, data + size);
        });
    std::size_t at = 0;
    while (!m_closed && m_in.size() - at >= wire::kLengthPrefix) {
        const std::uint32_t length = ReadU32(m_in.data() + at);
        if (length == 0 || length > wire::kMaxFrame) {
            Misbehaved(length == 0 ? "an empty frame" : "an oversized frame");
            return;
        }
        if (m_in.size() - at - wire::kLengthPrefix < length) break;
        const BYTE* body = m_in.data() + at + wire::kLengthPrefix;
        at += wire::kLengthPrefix + length;
        HandleFrame(std::vector<BYTE>(body, body + length));
    }
    if (m_closed) return;
    m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(at));
    if (result != ERROR_SUCCESS) {
        if (!m_in.empty()) Misbehaved("a truncated frame");
        Close();
    }
}

void Connection::HandleFrame(std::vector<BYTE> body) {
    Reader r(body.data(), body.size(), this);
    const auto type = static_cast<FrameType>(r.U8());
    if (m_handshaking != Handshaking::Done) {
        HandleHandshake(r, type);
        return;
    }
    switch (type) {
    case FrameType::Request:
    case FrameType::Event:
    case FrameType::Release: Apartment::Current()->Deliver(shared_from_this(), std::move(body)); return;
    case FrameType::Reply: HandleReply(std::move(body)); return;
    default: Misbehaved("an unknown or misplaced frame type");
    }
}

void Connection::HandleHandshake(Reader& r, FrameType type) {
    const bool expected = type == (m_side == Side::Server ? FrameType::Hello : FrameType::Welcome) ||
                          (m_side == Side::Client && type == FrameType::Refused);
    if (!expected) {
        Misbehaved("no handshake");
        return;
    }
    if (type == FrameType::Refused) {
        m_handshakeResult = r.I32();
        m_handshaking = Handshaking::Done;
        if (m_handshakeResult >= 0) m_handshakeResult = E_ACCESSDENIED;
        Close();
        return;
    }
    const std::uint32_t magic = r.U32();
    const std::uint16_t version = r.U16();
    const std::uint32_t maxFrame = r.U32();
    if (!r.AtEnd() || magic != wire::kMagic || maxFrame < 1024) {
        Misbehaved("a malformed handshake");
        return;
    }
    {
        std::lock_guard lock(m_writeMutex);
        m_peerMaxFrame = std::min(maxFrame, wire::kMaxFrame);
    }
    m_handshaking = Handshaking::Done;
    if (m_side == Side::Client) {
        m_handshakeResult = version == wire::kVersion ? S_OK : RPC_E_VERSION_MISMATCH;
        return;
    }
    Writer answer = BeginFrame(this, version == wire::kVersion ? FrameType::Welcome : FrameType::Refused);
    if (version == wire::kVersion) {
        answer.U32(wire::kMagic);
        answer.U16(wire::kVersion);
        answer.U32(wire::kMaxFrame);
    } else {
        answer.I32(RPC_E_VERSION_MISMATCH);
        Log("refusing the client at pid %ld: protocol version %u", m_peerPid, version);
    }
    EndFrame(answer);
    Send(std::move(answer.Bytes()));
    if (version != wire::kVersion) Close();
}

void Connection::HandleReply(std::vector<BYTE> body) {
    if (body.size() < 1 + sizeof(std::uint32_t)) {
        Misbehaved("a truncated reply");
        return;
    }
    const std::uint32_t id = ReadU32(body.data() + 1);
    auto it = m_pending.find(id);
    if (it == m_pending.end()) {
        if (m_abandoned.erase(id) == 0) Misbehaved("a reply to no call");
        return;
    }
    it->second->reply = std::move(body);
    it->second->done = true;
    m_pending.erase(it);
}

HRESULT Connection::Call(Writer& request, DWORD timeoutMs, std::vector<BYTE>* reply) {
    if (GetCurrentThreadId() != m_owner) return RPC_E_WRONG_THREAD;
    Apartment* apartment = Apartment::Current();
    if (apartment == nullptr) return CO_E_NOTINITIALIZED;
    if (!Alive() || m_closed) return RPC_E_DISCONNECTED;
    const std::uint32_t id = m_nextCallId++;
    if (m_nextCallId == 0) m_nextCallId = 1;
    request.PatchU32(kCallIdOffset, id);
    EndFrame(request);
    PendingCall call;
    m_pending[id] = &call;
    if (HRESULT hr = Send(std::move(request.Bytes())); FAILED(hr)) {
        m_pending.erase(id);
        return hr;
    }
    apartment->Wait([&call] { return call.done; }, timeoutMs);
    if (!call.done) {
        m_pending.erase(id);
        m_abandoned.insert(id);
        return Alive() ? RPC_E_TIMEOUT : RPC_E_DISCONNECTED;
    }
    if (FAILED(call.transport)) return call.transport;
    *reply = std::move(call.reply);
    return S_OK;
}

void Connection::FailPendingCalls() {
    for (auto& [id, call] : m_pending) {
        call->done = true;
        call->transport = RPC_E_DISCONNECTED;
    }
    m_pending.clear();
}

void Connection::Misbehaved(const char* what) {
    if (m_closed) return;
    Log("the peer at pid %ld sent %s; disconnecting it", m_peerPid, what);
    Close();
}

void Connection::Close() {
    if (m_closed) return;
    Shut();
    if (Apartment* apartment = Apartment::Current()) apartment->Deliver(shared_from_this(), {});
}

void Connection::Shut() {
    m_closed = true;
    RemoveWaitSource(m_sourceId);
    {
        std::lock_guard lock(m_writeMutex);
        m_broken = true;
        ShutDownSocket(m_fd);
    }
    if (m_handshaking != Handshaking::Done) {
        m_handshaking = Handshaking::Done;
        m_handshakeResult = CO_E_SERVER_EXEC_FAILURE;
    }
    FailPendingCalls();
}

void Connection::Cleanup() {
    if (m_cleanedUp) return;
    m_cleanedUp = true;
    if (!m_closed) Shut();
    // Our connection points drop this peer's sinks.
    std::vector<Advice> advice;
    {
        std::lock_guard lock(m_objectsMutex);
        advice.swap(m_advice);
    }
    for (const Advice& a : advice) {
        {
            std::lock_guard gate(a.gate->mutex);
            a.gate->open = false;
        }
        IEnumConnections* connections = nullptr;
        bool stillThere = false;
        if (SUCCEEDED(a.point->EnumConnections(&connections))) {
            CONNECTDATA data;
            while (connections->Next(1, &data, nullptr) == S_OK) {
                stillThere = stillThere || (data.dwCookie == a.cookie && data.pUnk == a.standIn);
                data.pUnk->Release();
            }
            connections->Release();
        }
        if (stillThere) a.point->Unadvise(a.cookie);
    }
    // Its server locks go back, and every reference it held on our objects.
    std::vector<std::pair<IClassFactory*, LONG>> locks;
    {
        std::lock_guard lock(m_objectsMutex);
        locks.swap(m_serverLocks);
    }
    for (auto& [factory, count] : locks) {
        for (LONG i = 0; i < count; ++i) factory->LockServer(FALSE);
        factory->Release();
    }
    std::unordered_map<std::uint32_t, ExportEntry> exports;
    {
        std::lock_guard lock(m_objectsMutex);
        exports.swap(m_exports);
        m_exportIds.clear();
    }
    for (auto& [id, e] : exports) {
        for (auto& [iid, itf] : e.interfaces) itf->Release();
        e.identity->Release();
    }
    {
        std::lock_guard lock(m_writeMutex);
        CloseSocket(m_fd);
        m_fd = -1;
    }
    if (Apartment* apartment = Apartment::Current()) apartment->Forget(this);
}

std::uint32_t Connection::ExportObject(IUnknown* object, REFIID iid, GUID* alias) {
    IUnknown* identity = nullptr;
    object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
    std::lock_guard lock(m_objectsMutex);
    auto known = m_exportIds.find(identity);
    std::uint32_t id;
    if (known != m_exportIds.end()) {
        id = known->second;
        identity->Release();  // the entry holds one already
    } else {
        id = m_nextExportId++;
        m_exportIds.emplace(identity, id);
        m_exports.emplace(id, ExportEntry{identity, {}, 0});
    }
    ExportEntry& e = m_exports.at(id);
    *alias = GUID_NULL;
    bool handed = false;
    for (auto& [handedIid, itf] : e.interfaces) {
        if (handedIid == iid) handed = true;
        else if (itf == object && *alias == GUID_NULL && Serves(handedIid, iid)) *alias = handedIid;
    }
    if (!handed) {
        object->AddRef();
        e.interfaces.emplace_back(iid, object);
    }
    ++e.remoteRefs;
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
        std::lock_guard lock(m_objectsMutex);
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
        std::lock_guard lock(m_objectsMutex);
        left = --manager->m_refs;
        if (left == 0) {
            auto it = m_imports.find(manager->Id());
            if (it != m_imports.end() && it->second == manager) m_imports.erase(it);
            remoteRefs = manager->m_remoteRefs;
        }
    }
    if (left != 0) return left;
    if (Alive()) {
        Writer release = BeginFrame(this, FrameType::Release);
        release.U32(manager->Id());
        release.U32(remoteRefs);
        EndFrame(release);
        Send(std::move(release.Bytes()));
    }
    delete manager;
    CloseIfIdle();
    return 0;
}

void Connection::CloseIfIdle() {
    // A client that holds nothing of the server's, and gives it nothing to
    // hold, lets the connection go; the next activation connects again.
    // FIXME: a proxy released last on another thread leaves the connection
    // open until the apartment ends or the server goes.
    if (m_side != Side::Client || GetCurrentThreadId() != m_owner || m_closed || !m_pending.empty()) return;
    {
        std::lock_guard lock(m_objectsMutex);
        if (!m_imports.empty() || !m_exports.empty()) return;
    }
    Close();
}

IUnknown* Connection::HandedInterface(std::uint32_t id, REFIID iid) {
    std::lock_guard lock(m_objectsMutex);
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
    ExportEntry gone {};
    {
        std::lock_guard lock(m_objectsMutex);
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
    std::lock_guard lock(m_objectsMutex);
    m_advice.push_back(advice);
}

void Connection::RemoveAdvice(IUnknown* standIn) {
    std::lock_guard lock(m_objectsMutex);
    std::erase_if(m_advice, [standIn](const Advice& a) { return a.standIn == standIn; });
}

std::shared_ptr<SinkGate> Connection::TakeAdvice(IConnectionPoint* point, DWORD cookie) {
    std::lock_guard lock(m_objectsMutex);
    for (auto it = m_advice.begin(); it != m_advice.end(); ++it)
        if (it->point == point && it->cookie == cookie) {
            auto gate = it->gate;
            m_advice.erase(it);
            return gate;
        }
    return nullptr;
}

void Connection::NoteServerLock(IClassFactory* factory, bool lock) {
    std::lock_guard guard(m_objectsMutex);
    auto it = std::find_if(m_serverLocks.begin(), m_serverLocks.end(),
                           [factory](const auto& entry) { return entry.first == factory; });
    if (lock) {
        if (it == m_serverLocks.end()) {
            factory->AddRef();
            m_serverLocks.emplace_back(factory, 1);
        } else {
            ++it->second;
        }
    } else if (it != m_serverLocks.end() && it->second > 0) {
        --it->second;
    }
}

}  // namespace platform::remoting
