#include "platform/framework/shared_sink.h"

#include <algorithm>
#include <vector>

namespace platform {
namespace {

// A proxy that this thread took of a shared sink, for as long as the sink
// is advised.
struct Taken {
    const SharedSink* sink;
    std::weak_ptr<const int> advised;
    IDispatch* proxy;
};
// Made at a thread's first take and deleted as it leaves its apartment. A
// plain pointer: a thread_local with a destructor makes MinGW's thread
// library run it from a key that it deletes at the process's exit, and
// that deletion hangs once such a thread has ended.
thread_local std::vector<Taken>* t_taken = nullptr;

void ReleaseTaken(bool all) {
    if (t_taken == nullptr) return;
    const auto gone = std::stable_partition(t_taken->begin(), t_taken->end(),
                                            [&](const Taken& t) { return !all && !t.advised.expired(); });
    for (auto it = gone; it != t_taken->end(); ++it) it->proxy->Release();
    t_taken->erase(gone, t_taken->end());
    if (all) {
        delete t_taken;
        t_taken = nullptr;
    }
}

ComPtr<IGlobalInterfaceTable> InterfaceTable(HRESULT* hr) {
    ComPtr<IGlobalInterfaceTable> table;
    *hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                           reinterpret_cast<void**>(table.Out()));
    return table;
}

}  // namespace

SharedSink::SharedSink(IUnknown* held) : m_held(held), m_thread(GetCurrentThreadId()), m_shared(E_NOINTERFACE) {}

SharedSink::SharedSink(IDispatch* sink) : m_held(sink), m_sink(sink), m_thread(GetCurrentThreadId()) {
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
    if (m_sink == nullptr) return E_NOINTERFACE;
    if (GetCurrentThreadId() == m_thread) {
        *sink = m_sink;
        m_sink->AddRef();
        return S_OK;
    }
    if (m_cookie == 0) return m_shared;
    ReleaseTaken(false);
    if (t_taken)
        for (const Taken& t : *t_taken)
            if (t.sink == this) {
                t.proxy->AddRef();
                *sink = t.proxy;
                return S_OK;
            }
    HRESULT hr;
    const ComPtr<IGlobalInterfaceTable> table = InterfaceTable(&hr);
    IDispatch* proxy = nullptr;
    if (SUCCEEDED(hr)) hr = table->GetInterfaceFromGlobal(m_cookie, IID_IDispatch, reinterpret_cast<void**>(&proxy));
    if (FAILED(hr)) return hr;
    try {
        if (t_taken == nullptr) t_taken = new std::vector<Taken>;
        t_taken->push_back({this, m_advised, proxy});
    } catch (const std::bad_alloc&) {
        proxy->Release();
        return E_OUTOFMEMORY;
    }
    proxy->AddRef();
    *sink = proxy;
    return S_OK;
}

void LeaveThreadApartment() {
    ReleaseTaken(true);
    CoUninitialize();
}

}  // namespace platform
