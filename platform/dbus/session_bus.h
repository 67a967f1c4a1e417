// The session bus, joined on one thread: its descriptor is watched in that
// thread's waits (GetMessageW and every other wait of the thread), so the
// bus costs nothing while idle and needs no thread of its own. One object
// path is served by a handler that answers every call to it; the departure
// of every client from the bus is reported. Signals may be emitted from any
// thread: each is sent at once, by the emitting thread, so they leave in the
// order emitted.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/dbus/bus_call.h"

struct sd_bus;
struct sd_bus_message;
struct sd_bus_slot;

namespace platform::dbus {

struct BusHandlers {
    // Every method call to the object path (Peer's aside, which the bus
    // library answers itself); it answers the call.
    std::function<void(IncomingCall& call)> call;
    // A client (a unique name) has left the bus.
    std::function<void(const std::string& uniqueName)> departed;
    // The connection has ended; nothing comes after.
    std::function<void()> lost;
};

class SessionBus {
public:
    // Joins the user's session bus (DBUS_SESSION_BUS_ADDRESS, or the bus of
    // the user's runtime folder) on the calling thread and serves path
    // there. Null when there is no bus to join; *failure then says why when
    // a bus was there but could not be joined (empty when there was none).
    // Only once the bus library has loaded (bus_library.h).
    static std::unique_ptr<SessionBus> Join(const std::string& path, BusHandlers handlers, std::string* failure);
    // Sends what is still queued (for a second at most) and leaves the bus,
    // and so gives its names up.
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // Asks for a well-known name; behind a current owner the request waits
    // in the bus's queue. The outcome is logged only when it is a failure.
    void RequestName(const std::string& name);

    // Values as bus values (bus_values.h). What the socket does not take at
    // once waits in the library's queue, and the joining thread's wait
    // writes it: an emitting thread waits for the lock at most. Beyond a
    // bound on that queue signals are dropped, with a log line when the
    // dropping starts and one with their number when it ends.
    void EmitSignal(const std::string& iface, const std::string& member, const std::vector<VARIANT>& args);
    void EmitPropertiesChanged(const std::string& iface, const std::vector<std::pair<std::string, VARIANT>>& changed,
                               const std::vector<std::string>& invalidated);

private:
    SessionBus(sd_bus* bus, std::string path, BusHandlers handlers, int wakeFd);
    bool Start(std::string* failure);
    short WaitEvents();
    void Process();
    void HandleTaken();
    void Lose(int error);
    void Send(int made, sd_bus_message* message, const char* what);
    void NoteQueueTaken();
    void OnCall(sd_bus_message* message);
    void OnNameOwnerChanged(sd_bus_message* message);
    friend struct BusCallbacks;

    // The library's objects are not thread-safe: every use of m_bus, and of
    // a message, is under m_busLock. The joining thread takes it only around
    // the library's own calls, never while a handler runs or while it waits,
    // so an emitting thread waits for no more than one of those calls.
    std::mutex m_busLock;
    sd_bus* const m_bus;
    const std::string m_path;
    const BusHandlers m_handlers;
    const DWORD m_owner;
    const int m_wakeFd;
    bool m_lost = false;               // guarded by m_busLock
    bool m_sendFailureLogged = false;  // guarded by m_busLock
    std::uint64_t m_dropped = 0;       // guarded by m_busLock: signals dropped in this stall

    // The joining thread's own.
    int m_busSource = 0;
    int m_wakeSource = 0;
    sd_bus_slot* m_objectSlot = nullptr;
    sd_bus_slot* m_matchSlot = nullptr;
    bool m_processing = false;
    // Taken by the library's callbacks under the lock, handled after it.
    std::vector<sd_bus_message*> m_calls;
    std::vector<std::string> m_departed;
};

}  // namespace platform::dbus
