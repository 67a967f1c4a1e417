// The common half of event sinks and other late-bound objects in tests and
// benchmarks: an IDispatch without type information that answers for one
// interface (an event interface, or IDispatch itself) and leaves Invoke to
// the derived class.
#pragma once

#include "platform/windows.h"

namespace trelvane::testing {

class DispatchSink : public IDispatch, public platform::RefCounted {
public:
    explicit DispatchSink(REFIID iid) : m_iid(iid) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == m_iid) {
            *ppv = static_cast<IDispatch*>(this);
            AddRefImpl();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    HRESULT GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return DISP_E_BADINDEX; }  // it has none
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }

private:
    const IID m_iid;
};

}  // namespace trelvane::testing
