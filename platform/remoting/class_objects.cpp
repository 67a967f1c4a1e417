// Class objects made available to other processes: each registration
// listens on the class's socket from the registering thread's waits, and
// that thread's apartment owns the connections it accepts.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/fd_io.h"
#include "platform/base/sync.h"
#include "platform/messages/thread_wait.h"
#include "platform/remoting/activation_ready.h"
#include "platform/remoting/apartment.h"
#include "platform/remoting/class_files_watch.h"
#include "platform/remoting/class_table.h"
#include "platform/remoting/objbase.h"
#include "platform/remoting/socket.h"

namespace platform::remoting {
namespace {

struct Registration {
    DWORD cookie;
    CLSID clsid;
    IUnknown* object;  // one reference
    DWORD thread;
    int listenFd;
    int lockFd;  // held while registered: one server per class
    std::string path;
    int sourceId;
    std::shared_ptr<ClassFilesWatch> watch;  // made and ended on the registering thread
};

struct Registrations {
    std::mutex mutex;
    std::vector<Registration> entries;
    DWORD nextCookie = 1;
};

Registrations& TheRegistrations() {
    static Registrations* registrations = new Registrations;  // never destroyed: threads may outlive statics
    return *registrations;
}

void Refuse(int fd, HRESULT why) {
    Writer refusal = BeginFrame(nullptr, wire::FrameType::Refused);
    refusal.I32(why);
    EndFrame(refusal);
    std::size_t sent = 0;  // best effort: the peer is refused either way
    WriteAvailable(fd, FdKind::Socket, refusal.Bytes().data(), refusal.Size(), &sent);
    CloseSocket(fd);
}

// Takes the connections waiting at a class's socket, on the registering
// thread. A failed accept (no descriptor free) rests the listening socket
// rather than have every wait report it ready again at once.
void AcceptWaiting(int listenFd) {
    Apartment* apartment = Apartment::Current();
    int error = 0;
    for (int fd = AcceptFrom(listenFd, &error); fd >= 0; fd = AcceptFrom(listenFd, &error)) {
        const Peer peer = PeerOf(fd);
        if (!peer.sameUser || apartment == nullptr) {
            Log("refusing a connection from pid %ld of user %ld", peer.pid, peer.uid);
            Refuse(fd, E_ACCESSDENIED);  // closes fd
            continue;
        }
        if (!apartment->AdmitConnection()) {
            Refuse(fd, RPC_E_CALL_REJECTED);
            continue;
        }
        auto connection = std::make_shared<Connection>(fd, Connection::Side::Server, apartment->Thread(), peer.pid);
        apartment->Adopt(connection);
        connection->Start();
    }
    if (error != 0 && apartment != nullptr) apartment->PauseAccepting(error);
}

short ListenEvents() {
    const Apartment* apartment = Apartment::Current();
    return apartment && apartment->AcceptPaused() ? short(0) : short(POLLIN);
}

int AddListenSource(int listenFd) {
    return AddWaitSource({listenFd, ListenEvents, [listenFd](short) { AcceptWaiting(listenFd); }});
}

// The class's socket is gone: listen there again, with the class's lock
// taken again if its file went too. Connections made before are still taken.
void PutSocketBack(REFCLSID clsid) {
    Registration r{};
    {
        auto& registrations = TheRegistrations();
        std::lock_guard lock(registrations.mutex);
        auto it = std::find_if(registrations.entries.begin(), registrations.entries.end(),
                               [&](const Registration& e) { return e.clsid == clsid; });
        if (it == registrations.entries.end()) return;
        r = *it;
    }
    // The paths are the socket's own, also when TRELVANE_HOME has changed since.
    HRESULT hr = PrepareOwnFolder(r.path.substr(0, r.path.rfind('/')));
    const std::string lockPath = r.path + ".lock";
    int lockFd = r.lockFd;
    if (SUCCEEDED(hr) && !IsFileAt(r.lockFd, lockPath)) lockFd = LockExclusive(lockPath, &hr);
    const int listenFd = SUCCEEDED(hr) ? ListenAt(r.path, &hr) : -1;
    if (listenFd < 0) {
        Log("%s was removed and cannot be made again: 0x%08X; new clients cannot reach this server until it is, "
            "tried again when that path changes",
            r.path.c_str(), static_cast<unsigned>(hr));
        if (lockFd != r.lockFd) CloseSocket(lockFd);
        return;
    }
    AcceptWaiting(r.listenFd);
    RemoveWaitSource(r.sourceId);
    CloseSocket(r.listenFd);
    if (lockFd != r.lockFd) CloseSocket(r.lockFd);
    const int sourceId = AddListenSource(listenFd);
    {
        auto& registrations = TheRegistrations();
        std::lock_guard lock(registrations.mutex);
        for (auto& e : registrations.entries)
            if (e.clsid == clsid) {
                e.listenFd = listenFd;
                e.lockFd = lockFd;
                e.sourceId = sourceId;
            }
    }
    r.watch->WatchRunFolder();
    Log("%s was removed; listening there again", r.path.c_str());
}

void Withdraw(Registration& r) {
    r.watch.reset();  // before the socket goes, which it would put back
    RemoveWaitSource(r.sourceId);
    CloseSocket(r.listenFd);
    RemovePath(r.path);
    CloseSocket(r.lockFd);
    r.object->Release();
}

HRESULT Listen(REFCLSID clsid, Registration* r) {
    if (HRESULT hr = PrepareRunFolder(); FAILED(hr)) return hr;
    HRESULT hr;
    r->lockFd = LockExclusive(ClassLockPath(clsid), &hr);
    if (r->lockFd < 0) return hr;
    r->path = ClassSocketPath(clsid);
    // Watched before the socket is made: a client can reach it, and remove
    // it, as soon as it exists, and a removal before the watch went unseen.
    const CLSID watched = clsid;
    r->watch = std::make_shared<ClassFilesWatch>(clsid, r->path, [watched] { PutSocketBack(watched); });
    r->listenFd = ListenAt(r->path, &hr);
    if (r->listenFd < 0) {
        r->watch.reset();
        CloseSocket(r->lockFd);
        return hr;
    }
    r->sourceId = AddListenSource(r->listenFd);
    return S_OK;
}

}  // namespace

HRESULT QueryRegisteredClassObject(REFCLSID clsid, DWORD thread, REFIID iid, IUnknown** out) {
    *out = nullptr;
    IUnknown* object = nullptr;
    {
        auto& registrations = TheRegistrations();
        std::lock_guard lock(registrations.mutex);
        for (const auto& r : registrations.entries)
            if (r.clsid == clsid && r.thread == thread) {
                object = r.object;
                object->AddRef();
            }
    }
    if (object == nullptr) return CO_E_SERVER_STOPPING;
    const HRESULT hr = object->QueryInterface(iid, reinterpret_cast<void**>(out));
    object->Release();
    return hr;
}

void RevokeClassObjectsOf(DWORD thread) {
    std::vector<Registration> gone;
    {
        auto& registrations = TheRegistrations();
        std::lock_guard lock(registrations.mutex);
        std::erase_if(registrations.entries, [&](const Registration& r) {
            if (r.thread != thread) return false;
            gone.push_back(r);
            return true;
        });
    }
    for (auto& r : gone) Withdraw(r);
}

namespace {
std::atomic<bool> g_createsInstances{true};
}

bool ClassTableCreatesInstances() { return g_createsInstances.load(); }
void SetClassTableCreatesInstances(bool on) { g_createsInstances = on; }

}  // namespace platform::remoting

using namespace platform::remoting;

HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags, LPDWORD lpdwRegister) {
    if (pUnk == nullptr || lpdwRegister == nullptr) return E_INVALIDARG;
    *lpdwRegister = 0;
    // Only the registration a local server makes is served: for other
    // processes, every activation by the one object. A class for this
    // process alone (CLSCTX_INPROC_SERVER) or for a single use is refused.
    if (!(dwClsContext & CLSCTX_LOCAL_SERVER) || flags != REGCLS_MULTIPLEUSE) return E_INVALIDARG;
    Apartment* apartment = Apartment::Current();
    if (apartment == nullptr) return CO_E_NOTINITIALIZED;
    auto& registrations = TheRegistrations();
    {
        std::lock_guard lock(registrations.mutex);
        for (const auto& r : registrations.entries)
            if (r.clsid == rclsid) return CO_E_OBJISREG;
    }
    Registration r{0, rclsid, pUnk, apartment->Thread(), -1, -1, {}, 0, {}};
    if (HRESULT hr = Listen(rclsid, &r); FAILED(hr)) return hr;
    pUnk->AddRef();
    {
        std::lock_guard lock(registrations.mutex);
        r.cookie = registrations.nextCookie++;
        registrations.entries.push_back(r);
        *lpdwRegister = r.cookie;
    }
    SignalActivationReady();  // the class listens: a client that started this server may connect
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
    Registration gone{};
    {
        auto& registrations = TheRegistrations();
        std::lock_guard lock(registrations.mutex);
        auto it = std::find_if(registrations.entries.begin(), registrations.entries.end(),
                               [&](const Registration& r) { return r.cookie == dwRegister; });
        if (it == registrations.entries.end()) return CO_E_OBJNOTREG;
        if (it->thread != GetCurrentThreadId()) return RPC_E_WRONG_THREAD;
        gone = *it;
        registrations.entries.erase(it);
    }
    Withdraw(gone);
    return S_OK;
}
