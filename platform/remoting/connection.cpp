#include "platform/remoting/connection.h"

#include <poll.h>

#include <algorithm>
#include <iterator>
#include <span>

#include "platform/base/fd_io.h"
#include "platform/base/log.h"
#include "platform/base/sync.h"
#include "platform/messages/thread_wait.h"
#include "platform/remoting/apartment.h"
#include "platform/remoting/class_table.h"
#include "platform/remoting/held_events.h"
#include "platform/remoting/limits.h"
#include "platform/remoting/proxy_manager.h"
#include "platform/remoting/socket.h"

namespace platform::remoting {
namespace {

using wire::FrameType;
using Clock = std::chrono::steady_clock;

// How long a server waits for a client to answer a call to one of the
// client's objects.
constexpr DWORD kCallbackTimeoutMs = 5000;
// What a connection keeps allocated for frames between them.
constexpr std::size_t kKeptCapacity = std::size_t{64} * 1024;
// Offsets inside a request frame.
constexpr std::size_t kTypeOffset = wire::kLengthPrefix;
constexpr std::size_t kCallIdOffset = kTypeOffset + 1;

constexpr HRESULT RPC_E_VERSION_MISMATCH = static_cast<HRESULT>(0x80010110);

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
    m_sourceId = AddWaitSource({OwnerFd(),
                                [self] {
                                    auto connection = self.lock();
                                    return connection ? connection->WaitEvents() : short(0);
                                },
                                [self](short revents) {
                                    if (auto connection = self.lock()) connection->OnReady(revents);
                                }});
    if (m_side == Side::Server) {
        m_deadline = Clock::now() + std::chrono::milliseconds(limits::kGreetingDeadlineMs);
        if (Apartment* apartment = Apartment::Current()) apartment->WatchDeadlines();
        // A client sends its greeting right behind its connect, so it is
        // usually here already: taken now, not after another wait.
        ReadFrames();
    }
}

bool Connection::CheckDeadline(Clock::time_point now) {
    if (m_closed) return false;
    if (m_idleUntil && now >= *m_idleUntil) {
        m_idleUntil.reset();
        CloseIfIdle(/*atOnce=*/true);
        if (m_closed) return false;
    }
    if (m_deadline && now >= *m_deadline) {
        Misbehaved(m_handshaking != Handshaking::Done ? "no greeting in time" : "no whole frame in time");
        return false;
    }
    return m_deadline || m_idleUntil;
}

HRESULT Connection::Handshake(DWORD timeoutMs, Writer* firstRequest, std::vector<BYTE>* reply) {
    Writer hello = BeginFrame(this, FrameType::Hello);
    hello.U32(wire::kMagic);
    hello.U16(wire::kVersion);
    hello.U32(wire::kMaxFrame);  // a client announces nothing
    EndFrame(hello);
    PendingCall call;
    std::uint32_t id = 0;
    if (firstRequest) {
        // One write for both, so that the server reads them together.
        QueueUnwritten(std::move(hello.Bytes()));
        if (HRESULT hr = BeginCall(*firstRequest, &call, &id); FAILED(hr)) return hr;
    } else if (HRESULT hr = Send(std::move(hello.Bytes())); FAILED(hr)) {
        return hr;
    }
    Apartment* apartment = Apartment::Current();
    const bool answered = apartment->Wait([this] { return m_handshaking == Handshaking::Done || !Alive(); }, timeoutMs);
    if (m_handshaking == Handshaking::Done) {
        if (firstRequest && SUCCEEDED(m_handshakeResult)) return AwaitCall(call, id, CallTimeout(), reply);
        m_pending.erase(id);
        return m_handshakeResult;
    }
    m_pending.erase(id);
    Log("the server at pid %ld did not %s", m_peerPid, answered ? "accept the connection" : "answer in time");
    Close();
    // A server that closed the connection unanswered was withdrawing its
    // class object; activation then tries afresh.
    return answered ? RPC_E_DISCONNECTED : CO_E_SERVER_EXEC_FAILURE;
}

DWORD Connection::CallTimeout() const { return m_side == Side::Server ? kCallbackTimeoutMs : INFINITE; }

short Connection::WaitEvents() const {
    // Writable is also how a check asked for by another thread gets run.
    const bool wake = m_hasQueued.load() || m_idleCheck.load();
    return static_cast<short>(POLLIN | (wake && Alive() ? POLLOUT : 0));
}

HRESULT Connection::Send(std::vector<BYTE> frame) {
    const bool event = frame[wire::kLengthPrefix] == static_cast<BYTE>(wire::FrameType::Event);
    HeldEvents* held = event ? HeldEvents::Current() : nullptr;
    bool write = false;
    {
        MutexLock lock(m_queueMutex);
        if (m_broken) return RPC_E_DISCONNECTED;
        if (frame.size() - wire::kLengthPrefix > m_peerMaxFrame) return E_INVALIDARG;
        m_queuedBytes += Footprint(frame);
        m_queue.push_back(std::move(frame));
        // Every sender writes out what waits before its own frame, so a peer
        // that reads keeps up however seldom the owner thread gets to run; a
        // writer at work takes the frame along. Held events wait for their scope.
        write = !held && TakeWriterTurn();
        if (!m_writerActive) m_hasQueued = true;
    }
    if (held) {
        held->Hold(shared_from_this());
        return S_OK;
    }
    if (write) WriteQueued();
    return AfterWrite();
}

void Connection::SendHeld(bool ownerWoken) {
    // With the owner woken, the owner writes them; the raiser only sees to
    // the bound, and never waits for a write of another thread's.
    bool write = false;
    if (!ownerWoken) {
        MutexLock lock(m_queueMutex);
        write = TakeWriterTurn();
    }
    if (write) WriteQueued();
    AfterWrite(ownerWoken);
}

bool Connection::TakeWriterTurn() {
    if (m_writerActive) return false;
    m_writerActive = true;
    m_hasQueued = false;  // the owner's wait leaves the socket to the writer
    return true;
}

void Connection::EndWriterTurn() {
    m_writerActive = false;
    m_hasQueued = !(m_writing.empty() && m_queue.empty()) && !m_broken;
}

HRESULT Connection::AfterWrite(bool ownerWoken) {
    std::size_t queued = 0;
    {
        MutexLock lock(m_queueMutex);
        queued = m_queuedBytes;
    }
    if (!m_broken && queued > wire::kMaxQueuedBytes) {
        Log("the peer at pid %ld does not keep up and has %zu bytes waiting; disconnecting it", m_peerPid, queued);
        MutexLock lock(m_writeMutex);
        m_broken = true;
        ShutDownSocket(m_fd);
    }
    // The owner watches for room to write while frames wait, and cleans up a
    // broken connection when it sees the socket close.
    if ((m_hasQueued || m_broken) && !ownerWoken && GetCurrentThreadId() != m_owner) WakeThread(m_owner);
    return m_broken ? RPC_E_DISCONNECTED : S_OK;
}

void Connection::Flush() {
    bool write = false;
    {
        MutexLock lock(m_queueMutex);
        write = TakeWriterTurn();
    }
    if (write) WriteQueued();
}

void Connection::WriteQueued() {
    MutexLock writing(m_writeMutex);
    for (;;) {
        {
            MutexLock lock(m_queueMutex);
            std::move(m_queue.begin(), m_queue.end(), std::back_inserter(m_writing));
            m_queue.clear();
            if (m_writing.empty() || m_broken) {
                EndWriterTurn();
                return;
            }
        }
        std::span<const BYTE> parts[kMaxGather];
        std::size_t count = 0, length = 0;
        for (auto frame = m_writing.begin(); frame != m_writing.end() && count < kMaxGather; ++frame, ++count) {
            parts[count] = std::span<const BYTE>(*frame).subspan(count == 0 ? m_frontSent : 0);
            length += parts[count].size();
        }
        std::size_t sent = 0;
        if (SendGathered(m_fd, std::span(parts, count), &sent) != ERROR_SUCCESS) {
            m_broken = true;
            ShutDownSocket(m_fd);
            continue;  // the turn ends
        }
        std::size_t done = 0;  // bytes of the frames written whole
        for (std::size_t left = sent; left > 0;) {
            const std::size_t rest = m_writing.front().size() - m_frontSent;
            if (left < rest) {
                m_frontSent += left;
                break;
            }
            left -= rest;
            done += Footprint(m_writing.front());
            m_frontSent = 0;
            m_writing.pop_front();
        }
        MutexLock lock(m_queueMutex);
        m_queuedBytes -= done;
        if (sent < length) {  // the socket is full: the owner waits for room
            EndWriterTurn();
            return;
        }
    }
}

void Connection::OnReady(short revents) {
    if (revents & POLLOUT) Flush();
    if (revents & ~POLLOUT) ReadFrames();
    if (m_idleCheck.exchange(false)) CloseIfIdle();
}

void Connection::ReadFrames() {
    const std::size_t before = m_in.size();
    const DWORD result = ReadAvailable(OwnerFd(), FdKind::Socket, [this](const BYTE* data, std::size_t size) {
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
        m_frameFollows = m_in.size() > at;
        HandleFrame(std::vector<BYTE>(body, body + length));
    }
    if (m_closed) return;
    m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(at));
    if (result != ERROR_SUCCESS) {
        if (!m_in.empty()) Misbehaved("a truncated frame");
        Close();
        return;
    }
    // The frame begun is held in one allocation of its size, not in a
    // vector doubled as its chunks come (which leaves the old blocks behind).
    if (m_in.size() >= wire::kLengthPrefix)
        m_in.reserve(wire::kLengthPrefix + ReadU32(m_in.data()));
    else if (m_in.empty() && m_in.capacity() > kKeptCapacity)
        std::vector<BYTE>().swap(m_in);
    KeepDeadline(before, at > 0);
    SyncBuffered();
}

// A server starts a frame's deadline with its first byte (consumed: a frame
// ended in this read, so the one left began in it).
void Connection::KeepDeadline(std::size_t before, bool consumed) {
    if (m_side != Side::Server || m_handshaking != Handshaking::Done) return;
    if (m_in.empty())
        m_deadline.reset();
    else if (consumed || before == 0 || !m_deadline)
        m_deadline = Clock::now() + std::chrono::milliseconds(limits::kFrameDeadlineMs);
    if (m_deadline)
        if (Apartment* apartment = Apartment::Current()) apartment->WatchDeadlines();
}

// Counts this peer's unfinished frame towards the apartment's bound.
void Connection::SyncBuffered() {
    const auto delta = static_cast<std::ptrdiff_t>(m_in.size()) - static_cast<std::ptrdiff_t>(m_counted);
    m_counted = m_in.size();
    if (delta != 0)
        if (Apartment* apartment = Apartment::Current()) apartment->CountBuffered(delta);
}

void Connection::HandleFrame(std::vector<BYTE> body) {
    Reader r(body.data(), body.size(), this);
    const auto type = static_cast<FrameType>(r.U8());
    log::Trace(log::Channel::remoting, "frame of type %u, %zu bytes, from pid %ld", static_cast<unsigned>(type),
               body.size(), m_peerPid);
    if (m_handshaking != Handshaking::Done) {
        HandleHandshake(r, type);
        return;
    }
    switch (type) {
    case FrameType::Request:
    case FrameType::Event:
    case FrameType::Release:
        if (Apartment* apartment = Apartment::Current())
            apartment->Deliver(shared_from_this(), std::move(body));
        else
            Close();  // the apartment has been left: nothing can run here any more
        return;
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
    const std::uint32_t announced = r.U32();
    const std::uint32_t maxFrame = announced & wire::kFrameSizeBits;
    if (!r.AtEnd() || magic != wire::kMagic || maxFrame < 1024) {
        Misbehaved("a malformed handshake");
        return;
    }
    {
        MutexLock lock(m_queueMutex);
        m_peerMaxFrame = std::min(maxFrame, wire::kMaxFrame);
    }
    m_handshaking = Handshaking::Done;
    if (m_side == Side::Client) {
        m_peerCreatesInstances = (announced & wire::kCanCreateInstance) != 0;
        m_handshakeResult = version == wire::kVersion ? S_OK : RPC_E_VERSION_MISMATCH;
        return;
    }
    Writer answer = BeginFrame(this, version == wire::kVersion ? FrameType::Welcome : FrameType::Refused);
    if (version == wire::kVersion) {
        answer.U32(wire::kMagic);
        answer.U16(wire::kVersion);
        answer.U32(wire::kMaxFrame | (ClassTableCreatesInstances() ? wire::kCanCreateInstance : 0));
    } else {
        answer.I32(RPC_E_VERSION_MISMATCH);
        Log("refusing the client at pid %ld: protocol version %u", m_peerPid, version);
    }
    EndFrame(answer);
    if (version != wire::kVersion) {
        Send(std::move(answer.Bytes()));
        Close();
    } else if (m_frameFollows && ClassTableCreatesInstances()) {
        // The client's first request came behind its greeting: the welcome
        // goes out with that request's reply, in one write, so that the
        // client wakes once for both. (A class table that does not create
        // instances ends the connection on that request, as the first
        // release did: its welcome goes at once, which tells the client so.)
        QueueUnwritten(std::move(answer.Bytes()));
    } else {
        Send(std::move(answer.Bytes()));
    }
}

void Connection::QueueUnwritten(std::vector<BYTE> frame) {
    MutexLock lock(m_queueMutex);
    if (m_broken) return;
    m_queuedBytes += Footprint(frame);
    m_queue.push_back(std::move(frame));
    if (!m_writerActive) m_hasQueued = true;  // the owner's wait asks for room to write
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
    PendingCall call;
    std::uint32_t id = 0;
    if (HRESULT hr = BeginCall(request, &call, &id); FAILED(hr)) return hr;
    return AwaitCall(call, id, timeoutMs, reply);
}

HRESULT Connection::BeginCall(Writer& request, PendingCall* call, std::uint32_t* id) {
    if (GetCurrentThreadId() != m_owner) return RPC_E_WRONG_THREAD;
    if (Apartment::Current() == nullptr) return CO_E_NOTINITIALIZED;
    if (!Alive() || m_closed) {
        // What the request's encoding handed the peer (a sink given to a
        // proxy of a server that has gone) would be held for good.
        if (m_cleanedUp) ReleasePeerObjects();
        return RPC_E_DISCONNECTED;
    }
    *id = m_nextCallId++;
    if (m_nextCallId == 0) m_nextCallId = 1;
    request.PatchU32(kCallIdOffset, *id);
    EndFrame(request);
    m_pending[*id] = call;
    if (HRESULT hr = Send(std::move(request.Bytes())); FAILED(hr)) {
        m_pending.erase(*id);
        return hr;
    }
    return S_OK;
}

HRESULT Connection::AwaitCall(PendingCall& call, std::uint32_t id, DWORD timeoutMs, std::vector<BYTE>* reply) {
    Apartment::Current()->Wait([&call] { return call.done; }, timeoutMs);
    if (!call.done) {
        m_pending.erase(id);
        if (!Alive()) return RPC_E_DISCONNECTED;
        m_abandoned.insert(id);
        if (m_abandoned.size() >= limits::kMaxUnansweredCalls) Misbehaved("no reply to several calls");
        return RPC_E_TIMEOUT;
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
    m_judgedBad = true;
    Log("the peer at pid %ld sent %s; disconnecting it", m_peerPid, what);
    Close();
}

void Connection::Close() {
    if (m_closed) return;
    log::Trace(log::Channel::remoting, "closing the connection to pid %ld", m_peerPid);
    Shut();
    if (Apartment* apartment = Apartment::Current()) apartment->Deliver(shared_from_this(), {});
}

void Connection::Shut() {
    m_closed = true;
    m_deadline.reset();
    m_idleUntil.reset();
    RemoveWaitSource(m_sourceId);
    std::vector<BYTE>().swap(m_in);
    SyncBuffered();
    {
        MutexLock lock(m_writeMutex);
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
    ReleasePeerObjects();
    {
        MutexLock lock(m_writeMutex);
        CloseSocket(m_fd);
        m_fd = -1;
    }
    if (Apartment* apartment = Apartment::Current()) apartment->Forget(this);
}

}  // namespace platform::remoting
