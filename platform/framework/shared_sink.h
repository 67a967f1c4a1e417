// A sink that a connection point keeps, callable from every thread of the
// server. An event raised on a thread other than the apartment's (the serial
// listener's) must reach the sinks that the apartment's clients advised.
//
// On Windows a proxy belongs to the apartment that received it: called from
// another apartment it fails with RPC_E_WRONG_THREAD. The sink is therefore
// also kept in the system's global interface table, from which a thread of
// another apartment takes a proxy of its own once, and keeps it while the
// sink stays advised and the thread in its apartment (taking one per event
// would cost an unmarshaling each, and under Wine a proxy taken and released
// again and again from the table disconnects the client's sink after a few
// events). The stand-in's proxies may be called from any thread, and the
// sink is used as it is.
#pragma once

#include <memory>

#include "platform/framework/system.h"

namespace platform {

class SharedSink {
public:
    // sink: an IDispatch, given on the thread of the apartment it belongs to.
    explicit SharedSink(IDispatch* sink);
    // A sink that is held but never called (one of property changes).
    explicit SharedSink(IUnknown* held);
    ~SharedSink();
    SharedSink(const SharedSink&) = delete;
    SharedSink& operator=(const SharedSink&) = delete;

    // The sink as it was advised: its identity for the connection point.
    IUnknown* Advised() const { return m_held.Get(); }
    // The sink as the calling thread may call it (one reference for the
    // caller), or the reason it cannot be had (E_NOINTERFACE for a sink that
    // is only held).
    HRESULT ForThisThread(IDispatch** sink) const;

private:
    ComPtr<IUnknown> m_held;
    IDispatch* m_sink = nullptr;  // the same object, to be called; null when only held
#ifdef _WIN32
    DWORD m_thread;
    DWORD m_cookie = 0;  // in the global interface table; 0 when it could not be put there
    HRESULT m_shared = E_FAIL;
    // Expires with the sink: the threads that took a proxy of it release
    // theirs at their next event or as they leave their apartment.
    std::shared_ptr<const int> m_advised = std::make_shared<const int>(0);
#endif
};

// Leaves the apartment that the calling thread entered with CoInitialize,
// releasing first the proxies it took of shared sinks, which belong to it.
void LeaveThreadApartment();

#ifndef _WIN32
inline SharedSink::SharedSink(IDispatch* sink) : m_held(sink), m_sink(sink) {}
inline SharedSink::SharedSink(IUnknown* held) : m_held(held) {}
inline SharedSink::~SharedSink() = default;
inline HRESULT SharedSink::ForThisThread(IDispatch** sink) const {
    *sink = m_sink;
    if (m_sink == nullptr) return E_NOINTERFACE;
    m_sink->AddRef();
    return S_OK;
}
inline void LeaveThreadApartment() { CoUninitialize(); }
#endif

}  // namespace platform
