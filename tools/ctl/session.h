// The driver object as trelvanectl holds it: activated like any client's,
// with a sink on each event interface, and a message loop that runs the
// events while a command waits.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

#include "contract/trelvane.h"
#include "tools/ctl/event_sink.h"

namespace trelvane::ctl {

class Session {
public:
    explicit Session(EventSink::Handler onEvent);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Enters the apartment, creates CTarvik (which starts the server when
    // none runs) and connects both sinks.
    HRESULT Connect();

    ITarvik* Tarvik() const { return m_tarvik.Get(); }
    ITarvikTest* Test() const { return m_test.Get(); }
    IDispatch* DispatchFor(REFIID iid) const;

    enum class Ended { Done, TimedOut, Stopped };
    // Runs the thread's messages until done() holds, the limit passes or
    // Stop() is called.
    Ended Pump(const std::function<bool()>& done, std::optional<std::chrono::milliseconds> limit);
    // Any thread: ends the current and every later Pump.
    void Stop();
    bool Stopped() const { return m_stopped.load(); }

private:
    HRESULT Advise(REFIID iid, EventSink* sink, DWORD* cookie);
    void Unadvise(REFIID iid, DWORD cookie);

    EventSink::Handler m_onEvent;
    const DWORD m_thread;
    bool m_apartment = false;
    std::atomic<bool> m_stopped{false};
    platform::ComPtr<ITarvik> m_tarvik;
    platform::ComPtr<ITarvikTest> m_test;
    platform::ComPtr<EventSink> m_events;
    platform::ComPtr<EventSink> m_testEvents;
    DWORD m_eventsCookie = 0;
    DWORD m_testEventsCookie = 0;
};

}  // namespace trelvane::ctl
