// A sink of property changes that does nothing: a point that is not one of
// events holds a client's own sink (its proxy, from another process).
#pragma once

#include "platform/windows.h"

namespace trelvane::testing {

class PropertySink final : public IPropertyNotifySink, public platform::RefCounted {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPropertyNotifySink) {
            *ppv = static_cast<IPropertyNotifySink*>(this);
            AddRefImpl();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    HRESULT OnChanged(DISPID) override { return S_OK; }
    HRESULT OnRequestEdit(DISPID) override { return S_OK; }
};

}  // namespace trelvane::testing
