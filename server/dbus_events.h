// The D-Bus face's event sink: every event of one event interface of the
// driver object, raised on the main thread or the listener thread, becomes
// the signal of the same name, and for the events that tell of a property
// changed by the driver itself, a PropertiesChanged after it.
#pragma once

#include <shared_mutex>

#include "contract/dbus.h"
#include "platform/dbus/session_bus.h"
#include "platform/windows.h"

namespace trelvane::server {

class BusEventRelay final : public IDispatch, public platform::RefCounted {
public:
    BusEventRelay(REFIID events, platform::dbus::SessionBus* bus) : m_events(events), m_bus(bus) {}

    // After this the relay sends nothing; the bus may go.
    void Detach();
    REFIID EventsIid() const { return m_events; }

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override;

private:
    const IID m_events;
    // Read by the raising threads, cleared by Detach on the main thread.
    std::shared_mutex m_busLock;
    platform::dbus::SessionBus* m_bus;
};

}  // namespace trelvane::server
