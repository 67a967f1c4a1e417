#include "tools/ctl/session.h"

namespace ctl {

Session::Session(EventSink::Handler onEvent) : m_onEvent(std::move(onEvent)), m_thread(GetCurrentThreadId()) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue, before Stop posts to it
}

Session::~Session() {
    if (m_tarvik) {
        Unadvise(contract::DIID__ITarvikEvents, m_eventsCookie);
        Unadvise(contract::DIID__ITarvikTestEvents, m_testEventsCookie);
    }
    if (m_test) m_test->Release();
    if (m_tarvik) m_tarvik->Release();
    if (m_events) m_events->Release();
    if (m_testEvents) m_testEvents->Release();
    if (m_apartment) CoUninitialize();
}

HRESULT Session::Connect() {
    if (HRESULT hr = CoInitialize(nullptr); FAILED(hr)) return hr;
    m_apartment = true;
    HRESULT hr = CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                  reinterpret_cast<void**>(&m_tarvik));
    if (SUCCEEDED(hr)) hr = m_tarvik->QueryInterface(contract::IID_ITarvikTest, reinterpret_cast<void**>(&m_test));
    if (FAILED(hr)) return hr;
    m_events = new EventSink(contract::DIID__ITarvikEvents, m_onEvent);
    m_testEvents = new EventSink(contract::DIID__ITarvikTestEvents, m_onEvent);
    if (hr = Advise(contract::DIID__ITarvikEvents, m_events, &m_eventsCookie); FAILED(hr)) return hr;
    return Advise(contract::DIID__ITarvikTestEvents, m_testEvents, &m_testEventsCookie);
}

IDispatch* Session::DispatchFor(REFIID iid) const {
    if (iid == contract::IID_ITarvikTest) return m_test;
    return m_tarvik;
}

HRESULT Session::Advise(REFIID iid, EventSink* sink, DWORD* cookie) {
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    HRESULT hr = m_tarvik->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(iid, &point);
    if (SUCCEEDED(hr)) hr = point->Advise(sink, cookie);
    if (point) point->Release();
    if (container) container->Release();
    return hr;
}

void Session::Unadvise(REFIID iid, DWORD cookie) {
    if (cookie == 0) return;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    if (SUCCEEDED(m_tarvik->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))) &&
        SUCCEEDED(container->FindConnectionPoint(iid, &point)))
        point->Unadvise(cookie);  // a server that has gone has let go of the sink already
    if (point) point->Release();
    if (container) container->Release();
}

Session::Ended Session::Pump(const std::function<bool()>& done, std::optional<std::chrono::milliseconds> limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
    while (true) {
        MSG msg;
        while (!m_stopped && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) m_stopped = true;
            else DispatchMessageW(&msg);
            if (done && done()) return Ended::Done;
        }
        if (m_stopped) return Ended::Stopped;
        if (done && done()) return Ended::Done;
        DWORD wait = INFINITE;
        if (limit) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return Ended::TimedOut;
            wait = static_cast<DWORD>(left.count());
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

void Session::Stop() {
    m_stopped = true;
    PostThreadMessageW(m_thread, WM_QUIT, 0, 0);
}

}  // namespace ctl
