#include "tools/ctl/session.h"

namespace trelvane::ctl {

Session::Session(EventSink::Handler onEvent) : m_onEvent(std::move(onEvent)), m_thread(GetCurrentThreadId()) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue, before Stop posts to it
}

Session::~Session() {
    if (m_tarvik) {
        Unadvise(contract::DIID__ITarvikEvents, m_eventsCookie);
        Unadvise(contract::DIID__ITarvikTestEvents, m_testEventsCookie);
    }
    // Every reference goes before the apartment does.
    m_test.Reset();
    m_tarvik.Reset();
    m_events.Reset();
    m_testEvents.Reset();
    if (m_apartment) CoUninitialize();
}

HRESULT Session::Connect() {
    if (HRESULT hr = CoInitialize(nullptr); FAILED(hr)) return hr;
    m_apartment = true;
    HRESULT hr = CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                  reinterpret_cast<void**>(m_tarvik.Out()));
    if (SUCCEEDED(hr)) hr = m_tarvik->QueryInterface(contract::IID_ITarvikTest, reinterpret_cast<void**>(m_test.Out()));
    if (FAILED(hr)) return hr;
    m_events = platform::ComPtr<EventSink>::Attach(new EventSink(contract::DIID__ITarvikEvents, m_onEvent));
    m_testEvents = platform::ComPtr<EventSink>::Attach(new EventSink(contract::DIID__ITarvikTestEvents, m_onEvent));
    if (hr = Advise(contract::DIID__ITarvikEvents, m_events.Get(), &m_eventsCookie); FAILED(hr)) return hr;
    return Advise(contract::DIID__ITarvikTestEvents, m_testEvents.Get(), &m_testEventsCookie);
}

IDispatch* Session::DispatchFor(REFIID iid) const {
    if (iid == contract::IID_ITarvikTest) return m_test.Get();
    return m_tarvik.Get();
}

HRESULT Session::Advise(REFIID iid, EventSink* sink, DWORD* cookie) {
    platform::ComPtr<IConnectionPointContainer> container;
    platform::ComPtr<IConnectionPoint> point;
    HRESULT hr = m_tarvik->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out()));
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(iid, point.Out());
    if (SUCCEEDED(hr)) hr = point->Advise(sink, cookie);
    return hr;
}

void Session::Unadvise(REFIID iid, DWORD cookie) {
    if (cookie == 0) return;
    platform::ComPtr<IConnectionPointContainer> container;
    platform::ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(m_tarvik->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out()))) &&
        SUCCEEDED(container->FindConnectionPoint(iid, point.Out())))
        point->Unadvise(cookie);  // a server that has gone has let go of the sink already
}

Session::Ended Session::Pump(const std::function<bool()>& done, std::optional<std::chrono::milliseconds> limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
    while (true) {
        MSG msg;
        while (!m_stopped && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                m_stopped = true;
            else
                DispatchMessageW(&msg);
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

}  // namespace trelvane::ctl
