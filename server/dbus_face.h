// The driver object on the session bus: bus name org.trelvane.Tarvik1,
// object /org/trelvane/Tarvik, interface org.trelvane.Tarvik1, a thin
// translation of the contract (contract/dbus.h). Every call goes to the one
// driver object through its late binding, as an automation client's does;
// every event comes back as a signal. A bus client holds the object, and
// so the server, from its first call until it leaves the bus or calls
// Release(). Runs on the server's main thread; the bus is watched in its
// waits (docs/dbus.md).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "contract/trelvane.h"
#include "platform/dbus/bus_library.h"
#include "platform/dbus/session_bus.h"
#include "server/dbus_events.h"

namespace trelvane::server {

class BusFace {
public:
    // Serves the object that classObject (an IClassFactory) makes, on the
    // session bus, through the bus library in libraryFile; null when the
    // user has no session bus. A server started by the bus joins it at once;
    // any other loads the library on a thread of its own and joins once it
    // has, so that its first clients need not wait for the library. A
    // library that cannot be loaded, or a bus that cannot be joined, is
    // logged, and the server serves automation clients only.
    static std::unique_ptr<BusFace> Start(IUnknown* classObject, const char* libraryFile);
    // Leaves the bus: the holds of the bus's clients are given back.
    ~BusFace();

private:
    explicit BusFace(IUnknown* classObject);
    // Joins the bus once the library is loaded (failure empty): true when it
    // serves there.
    bool Join(std::string failure);
    void OnCall(platform::dbus::IncomingCall& call);
    void OnDeparted(const std::string& client);
    void CallMethod(platform::dbus::IncomingCall& call, const contract::dbus::Method& method);
    void CallProperties(platform::dbus::IncomingCall& call, const std::string& member);
    // The caller's hold on the object, taken at its first call.
    HRESULT Hold(const std::string& client, ITarvik** object);
    void ConnectRelays(ITarvik* object);

    platform::ComPtr<IUnknown> m_classObject;
    std::map<std::string, platform::ComPtr<ITarvik>> m_holds;
    platform::ComPtr<BusEventRelay> m_relays[2];
    bool m_relaysConnected = false;
    std::unique_ptr<platform::dbus::SessionBus> m_bus;
    std::unique_ptr<platform::dbus::BackgroundBusLibraryLoad> m_load;
};

}  // namespace trelvane::server
