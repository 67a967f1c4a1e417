#include "platform/framework/shared_sink.h"

namespace platform {
namespace {

ComPtr<IGlobalInterfaceTable> InterfaceTable(HRESULT* hr) {
    ComPtr<IGlobalInterfaceTable> table;
    *hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                           reinterpret_cast<void**>(table.Out()));
    return table;
}

}  // namespace

SharedSink::SharedSink(IDispatch* sink) : m_sink(sink), m_thread(GetCurrentThreadId()) {
    const ComPtr<IGlobalInterfaceTable> table = InterfaceTable(&m_shared);
    if (SUCCEEDED(m_shared)) m_shared = table->RegisterInterfaceInGlobal(sink, IID_IDispatch, &m_cookie);
    if (FAILED(m_shared)) {
        m_cookie = 0;
        log::Warning(log::Channel::driver,
                     "a sink cannot be kept for other threads (0x%08X): events raised there will not reach it",
                     static_cast<unsigned>(m_shared));
    }
}

SharedSink::~SharedSink() {
    if (m_cookie == 0) return;
    HRESULT hr;
    const ComPtr<IGlobalInterfaceTable> table = InterfaceTable(&hr);
    // Wine refuses to revoke a proxy (0x8001011D) and keeps it until the
    // apartment ends; the sink is released then, and nothing else changes.
    if (SUCCEEDED(hr)) hr = table->RevokeInterfaceFromGlobal(m_cookie);
    if (FAILED(hr))
        log::Trace(log::Channel::driver, "a sink could not be revoked from the global interface table (0x%08X)",
                   static_cast<unsigned>(hr));
}

HRESULT SharedSink::ForThisThread(IDispatch** sink) const {
    *sink = nullptr;
    if (GetCurrentThreadId() == m_thread) {
        *sink = m_sink.Get();
        m_sink->AddRef();
        return S_OK;
    }
    if (m_cookie == 0) return m_shared;
    HRESULT hr;
    const ComPtr<IGlobalInterfaceTable> table = InterfaceTable(&hr);
    if (SUCCEEDED(hr)) hr = table->GetInterfaceFromGlobal(m_cookie, IID_IDispatch, reinterpret_cast<void**>(sink));
    return hr;
}

}  // namespace platform
