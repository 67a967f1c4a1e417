// The session bus, joined on one thread: its descriptor is watched in that
// thread's waits (GetMessageW and every other wait of the thread), so the
// bus costs nothing while idle and needs no thread of its own. One object
// path is served by a handler that answers every call to it; the departure
// of every client from the bus is reported. Signals may be emitted from any
// thread: they leave in the order emitted, sent by the joining thread.
#pragma once

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
    static std::unique_ptr<SessionBus> Join(const std::string& path, BusHandlers handlers, std::string* failure);
    // Sends what is still queued (for a second at most) and leaves the bus,
    // and so gives its names up.
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // Asks for a well-known name; behind a current owner the request waits
    // in the bus's queue. The outcome is logged only when it is a failure.
    void RequestName(const std::string& name);

    // Values as bus values (bus_values.h); copied.
    void EmitSignal(const std::string& iface, const std::string& member, const std::vector<VARIANT>& args);
    void EmitPropertiesChanged(const std::string& iface, const std::vector<std::pair<std::string, VARIANT>>& changed,
                               const std::vector<std::string>& invalidated);

    // Emissions waiting for the joining thread, at most.
    static constexpr std::size_t kMaxQueued = 4096;

private:
    struct Emission;
    SessionBus(sd_bus* bus, std::string path, BusHandlers handlers, int wakeFd);
    bool Start(std::string* failure);
    void Process();
    void Lose(int error);
    void Emit(Emission emission);
    void Flush();
    void Send(const Emission& emission);
    void OnCall(sd_bus_message* message);
    void OnNameOwnerChanged(sd_bus_message* message);
    friend struct BusCallbacks;

    sd_bus* m_bus;
    const std::string m_path;
    const BusHandlers m_handlers;
    const DWORD m_owner;
    const int m_wakeFd;
    int m_busSource = 0;
    int m_wakeSource = 0;
    sd_bus_slot* m_objectSlot = nullptr;
    sd_bus_slot* m_matchSlot = nullptr;
    bool m_processing = false;
    bool m_lost = false;
    bool m_sendFailureLogged = false;

    std::mutex m_queueLock;
    std::vector<Emission> m_queue;  // guarded by m_queueLock
    bool m_overflowLogged = false;  // guarded by m_queueLock
};

}  // namespace platform::dbus
