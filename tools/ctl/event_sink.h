// A sink for one event interface of the driver: every event it receives goes
// to a handler, on the thread that runs the client's messages.
#pragma once

#include <atomic>
#include <functional>

#include "platform/windows.h"

namespace trelvane::ctl {

class EventSink final : public IDispatch {
public:
    using Handler = std::function<void(REFIID iid, DISPID dispid, const DISPPARAMS& params)>;
    EventSink(REFIID iid, Handler handler) : m_iid(iid), m_handler(std::move(handler)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override;
    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override;

private:
    ~EventSink() = default;

    const IID m_iid;
    const Handler m_handler;
    std::atomic<ULONG> m_references{1};
};

}  // namespace trelvane::ctl
