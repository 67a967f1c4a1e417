#include "server/dbus_events.h"

#include <mutex>
#include <vector>

namespace trelvane::server {

void BusEventRelay::Detach() {
    std::unique_lock lock(m_busLock);
    m_bus = nullptr;
}

HRESULT BusEventRelay::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == m_events) {
        *ppv = static_cast<IDispatch*>(this);
        AddRefImpl();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT BusEventRelay::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT BusEventRelay::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
}

HRESULT BusEventRelay::Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) {
    using contract::dbus::Signal;
    const Signal* signal = contract::dbus::TarvikBusInterface().FindSignal(m_events, dispid);
    if (signal == nullptr) return DISP_E_MEMBERNOTFOUND;
    if (params == nullptr || params->cArgs != signal->args.size()) return DISP_E_BADPARAMCOUNT;
    // The driver passes the declared types; a caller of the event interface
    // may pass others, converted as Invoke converts them.
    std::vector<VARIANT> args(signal->args.size());
    for (VARIANT& arg : args) VariantInit(&arg);
    HRESULT hr = S_OK;
    for (std::size_t i = 0; i < args.size() && SUCCEEDED(hr); ++i)
        hr = VariantChangeType(&args[i], &params->rgvarg[args.size() - 1 - i], 0, signal->args[i].type);
    if (SUCCEEDED(hr)) {
        std::shared_lock lock(m_busLock);
        try {
            if (m_bus) {
                m_bus->EmitSignal(contract::dbus::kInterface, signal->name, args);
                if (!signal->changesWithFirstArg.empty() || !signal->invalidates.empty()) {
                    std::vector<std::pair<std::string, VARIANT>> changed;
                    for (const auto& name : signal->changesWithFirstArg) changed.emplace_back(name, args.at(0));
                    m_bus->EmitPropertiesChanged(contract::dbus::kInterface, changed, signal->invalidates);
                }
            }
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        }
    }
    for (VARIANT& arg : args) VariantClear(&arg);
    if (hr == E_OUTOFMEMORY) return hr;
    return FAILED(hr) ? DISP_E_TYPEMISMATCH : S_OK;
}

}  // namespace trelvane::server
