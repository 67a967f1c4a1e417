// A connection between this process and one other: its socket and frames,
// the calls of this side that wait for replies, and the objects each side
// has handed to the other over it.
//
// A connection belongs to the apartment (thread) that made or accepted it.
// Only that thread reads the socket, while it waits (see apartment.h), and
// only it makes calls that wait for a reply. Any thread may send a one-way
// frame: an event raised on another thread goes out at once, in the order
// the frames were sent, and nothing waits for the peer to read it.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/objects/ocidl.h"
#include "platform/remoting/codec.h"
#include "platform/remoting/wire.h"

namespace platform::remoting {

class ProxyManager;

// Whether a remote sink still takes events: closed once its Unadvise has
// run, so that no event follows the Unadvise's reply.
struct SinkGate {
    Mutex mutex;
    bool open GUARDED_BY(mutex) = true;
};

// A sink this peer advised on one of our connection points: a stand-in for
// a sink of events, else the sink's proxy itself (standIn and gate null).
struct Advice {
    IConnectionPoint* point;  // no reference: the point holds the stand-in
    DWORD cookie;
    IUnknown* standIn;  // no reference: it removes its own record when it goes
    std::shared_ptr<SinkGate> gate;
};

class Connection final : public std::enable_shared_from_this<Connection> {
public:
    // How long a client keeps a connection that holds nothing either way.
    static constexpr DWORD kIdleConnectionMs = 2000;

    enum class Side { Client, Server };

    Connection(int fd, Side side, DWORD owner, long peerPid);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Side GetSide() const { return m_side; }
    DWORD Owner() const { return m_owner; }
    bool Alive() const { return !m_broken.load(); }
    long PeerPid() const { return m_peerPid; }

    // Owner thread: the owner's waits start watching the socket.
    void Start();
    // Client, owner thread: the handshake; S_OK, the server's refusal,
    // RPC_E_DISCONNECTED when it closes the connection unanswered, or
    // CO_E_SERVER_EXEC_FAILURE when it does not answer within the time.
    // With a first request, that request goes out right behind the greeting,
    // so that the server takes both at once, and once the handshake has
    // succeeded its reply is awaited as Call awaits one.
    HRESULT Handshake(DWORD timeoutMs, Writer* firstRequest = nullptr, std::vector<BYTE>* reply = nullptr);
    // Owner thread: the server has answered the handshake with its welcome.
    bool Welcomed() const { return m_handshaking == Handshaking::Done && SUCCEEDED(m_handshakeResult); }
    // Owner thread: the server's welcome said its class table runs CreateInstance.
    bool PeerCreatesInstances() const { return m_peerCreatesInstances; }

    // Any thread: sends one whole frame (see BeginFrame and EndFrame).
    // RPC_E_DISCONNECTED when the connection is gone or the peer has let
    // too much pile up; E_INVALIDARG for a frame larger than the peer takes.
    HRESULT Send(std::vector<BYTE> frame);
    // Any thread: the events a HeldEvents scope kept back go out (see
    // held_events.h). ownerWoken: the caller has woken the owner thread from
    // its wait since these were queued, and it writes them.
    void SendHeld(bool ownerWoken);
    // Owner thread: sends a request and waits, running the calls and events
    // that come in meanwhile, until its reply arrives (the reply's body into
    // *reply), the connection goes (RPC_E_DISCONNECTED) or the time is up
    // (RPC_E_TIMEOUT). Other threads get RPC_E_WRONG_THREAD.
    HRESULT Call(Writer& request, DWORD timeoutMs, std::vector<BYTE>* reply);
    // How long calls may wait: without bound towards a server; a bounded
    // time towards a client, so that no client can hold a server's thread.
    DWORD CallTimeout() const;

    // Owner thread: ends the connection because the peer broke the protocol;
    // logged, and the peer's references are released. Nothing the peer sent
    // runs from then on, what is queued already included.
    void Misbehaved(const char* what);
    bool JudgedBad() const { return m_judgedBad; }
    bool CleanedUp() const { return m_cleanedUp; }
    // Releases what the peer holds of ours: its advice, server locks and
    // exported objects. Cleanup does it; again after a call that recorded
    // more once the cleanup had run.
    void ReleasePeerObjects();

    // Owner thread: incoming frames of this peer running, one inside the other.
    void EnterRun() { ++m_running; }
    void LeaveRun() { --m_running; }
    int Running() const { return m_running; }
    // Owner thread: bytes of an unfinished frame held for this peer.
    std::size_t Buffered() const { return m_in.size(); }
    // Owner thread: ends the connection if its greeting or its unfinished
    // frame is overdue, or a client's if it has stayed idle its time;
    // whether a deadline still runs.
    bool CheckDeadline(std::chrono::steady_clock::time_point now);
    // Owner thread: ends the connection; the cleanup runs from the message loop.
    void Close();
    // Client: a connection that holds nothing either way closes once it has
    // stayed so for kIdleConnectionMs (atOnce: at once).
    void CloseIfIdle(bool atOnce = false);
    // Owner thread: releases everything the peer held, removes its sinks
    // from our connection points and closes the socket.
    void Cleanup();

    // Object references (wire::RefKind) inside frames.
    void PutObject(Writer& w, IUnknown* object, REFIID iid);
    bool GetObject(Reader& r, REFIID iid, void** out);
    // The interface iid of object id as handed to the peer, with a new
    // reference; QueryInterface (iid IID_IUnknown) is allowed on any handed
    // object. Null when the peer was never given it.
    IUnknown* HandedInterface(std::uint32_t id, REFIID iid);
    // The peer gives back count references; false when it holds fewer.
    bool ReleaseExport(std::uint32_t id, std::uint32_t count);
    // A proxy's last reference went (under the object lock, so that no
    // import finds it meanwhile); returns the count left.
    ULONG DropProxy(ProxyManager* manager);

    void AddAdvice(const Advice& advice);
    std::size_t AdviceCount();
    void RemoveAdvice(IUnknown* standIn);
    // Whether this peer advised cookie on point (and has not unadvised it).
    bool HasAdvice(IConnectionPoint* point, DWORD cookie);
    // Whether object is a proxy of one of this peer's objects.
    bool IsPeersObject(IUnknown* object);
    // The gate of the stand-in advised with cookie on point, its record
    // removed; or null.
    std::shared_ptr<SinkGate> TakeAdvice(IConnectionPoint* point, DWORD cookie);
    // LockServer calls of the peer, undone when it goes. An unlock is noted
    // (and true returned) only when the peer holds a lock of that factory.
    bool NoteServerLock(IClassFactory* factory, bool lock);

private:
    struct ExportEntry {
        IUnknown* identity;                                 // one reference
        std::vector<std::pair<IID, IUnknown*>> interfaces;  // as handed, one reference each
        ULONG remoteRefs = 0;
    };
    struct PendingCall {
        bool done = false;
        HRESULT transport = S_OK;
        std::vector<BYTE> reply;
    };
    enum class Handshaking { AwaitingHello, AwaitingWelcome, Done };

    // Call in two halves: the request registered and sent, and its reply
    // awaited (the call forgotten when it does not come).
    HRESULT BeginCall(Writer& request, PendingCall* call, std::uint32_t* id);
    HRESULT AwaitCall(PendingCall& call, std::uint32_t id, DWORD timeoutMs, std::vector<BYTE>* reply);
    short WaitEvents() const;
    void OnReady(short revents);
    void Flush();
    // One writer at a time (the writer's turn), and it is any thread's that
    // finds none at work: it writes what waits, in one system call per 64
    // frames, until all is written or the socket is full, then ends its turn.
    bool TakeWriterTurn() REQUIRES(m_queueMutex);
    void EndWriterTurn() REQUIRES(m_writeMutex, m_queueMutex);
    void WriteQueued() EXCLUDES(m_writeMutex, m_queueMutex);
    // The queue's bound, and the owner woken when frames wait or the socket broke.
    HRESULT AfterWrite(bool ownerWoken = false) EXCLUDES(m_writeMutex, m_queueMutex);
    // Owner thread: queues a frame without writing it; the next frame sent
    // takes it along, or else the owner's next wait writes it.
    void QueueUnwritten(std::vector<BYTE> frame);
    // The socket, as the owner thread reads it: the owner alone changes it.
    int OwnerFd() const NO_THREAD_SAFETY_ANALYSIS { return m_fd; }
    void ReadFrames();
    void KeepDeadline(std::size_t before, bool consumed);
    void SyncBuffered();
    void HandleFrame(std::vector<BYTE> body);
    void HandleHandshake(Reader& r, wire::FrameType type);
    void HandleReply(std::vector<BYTE> body);
    void FailPendingCalls();
    std::uint32_t ExportObject(IUnknown* object, REFIID iid, GUID* alias);
    void Shut();
    void Import(std::uint32_t id, REFIID iid, REFIID alias, void** out);

    const Side m_side;
    const DWORD m_owner;
    const long m_peerPid;

    // Writing: any thread. A sender queues its frame under m_queueMutex,
    // held only for the append, and writes only when no writer is at work:
    // so queueing an event never waits for another thread's system call.
    // m_writeMutex, the writer's and that of whoever shuts or closes the
    // socket, comes first when both are held.
    Mutex m_writeMutex;
    int m_fd GUARDED_BY(m_writeMutex);
    std::deque<std::vector<BYTE>> m_writing GUARDED_BY(m_writeMutex);  // taken from the queue, not yet all written
    std::size_t m_frontSent GUARDED_BY(m_writeMutex) = 0;  // bytes of m_writing's first frame already written
    Mutex m_queueMutex;
    std::deque<std::vector<BYTE>> m_queue GUARDED_BY(m_queueMutex);  // frames no writer has taken yet
    // The memory of the frames in m_writing and m_queue: each frame's bytes,
    // at least what a frame's buffer starts with, and what the allocator
    // and the queue add, so that a peer sent many small replies is held to
    // the bound by what they take, not by their bytes alone.
    static std::size_t Footprint(const std::vector<BYTE>& frame) {
        return std::max(frame.size(), Writer::kFirstCapacity) + 64;
    }
    std::size_t m_queuedBytes GUARDED_BY(m_queueMutex) = 0;
    bool m_writerActive GUARDED_BY(m_queueMutex) = false;
    std::uint32_t m_peerMaxFrame GUARDED_BY(m_queueMutex) = wire::kMaxFrame;
    // Frames wait and no writer is at work: the owner's wait asks for room to write.
    std::atomic<bool> m_hasQueued{false};
    std::atomic<bool> m_broken{false};
    std::atomic<bool> m_idleCheck{false};  // a proxy went on another thread: the owner checks for idleness

    // The owner thread's alone.
    int m_sourceId = 0;
    bool m_closed = false;
    bool m_cleanedUp = false;
    bool m_judgedBad = false;
    int m_running = 0;
    std::size_t m_counted = 0;  // of m_in, in the apartment's count of buffered bytes
    // A server's deadline for the greeting, then for the unfinished frame.
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    // A client's idle connection closes then, unless it is in use again.
    std::optional<std::chrono::steady_clock::time_point> m_idleUntil;
    Handshaking m_handshaking;
    HRESULT m_handshakeResult = S_OK;
    bool m_peerCreatesInstances = false;
    bool m_frameFollows = false;  // while a frame is handled: more of this read follows it
    std::vector<BYTE> m_in;
    std::uint32_t m_nextCallId = 1;
    std::unordered_map<std::uint32_t, PendingCall*> m_pending;
    std::set<std::uint32_t> m_abandoned;  // calls that timed out: their replies are dropped

    // Objects: any thread.
    Mutex m_objectsMutex;
    std::unordered_map<std::uint32_t, ExportEntry> m_exports GUARDED_BY(m_objectsMutex);
    std::unordered_map<IUnknown*, std::uint32_t> m_exportIds GUARDED_BY(m_objectsMutex);
    std::uint32_t m_nextExportId GUARDED_BY(m_objectsMutex) = 1;
    std::unordered_map<std::uint32_t, ProxyManager*> m_imports GUARDED_BY(m_objectsMutex);
    std::vector<Advice> m_advice GUARDED_BY(m_objectsMutex);
    // A reference each, and the locks held.
    std::vector<std::pair<IClassFactory*, LONG>> m_serverLocks GUARDED_BY(m_objectsMutex);
};

// Frames: BeginFrame reserves the length prefix and writes the type; the
// frame's fields follow; EndFrame fills in the length.
Writer BeginFrame(Connection* connection, wire::FrameType type);
void EndFrame(Writer& w);
// A request frame up to its arguments (the call id is set by Call).
Writer BeginRequest(Connection& connection, std::uint32_t objectId, REFIID iid, std::uint16_t method);

}  // namespace platform::remoting
