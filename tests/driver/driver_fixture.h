// A driver object with sinks on both event interfaces that write one log, and
// a message loop for the tick; DriverTest adds a device end on COM3. The
// object lives in this process, or in the server program reached through
// proxies (driver_server.h): a suite that runs both ways must not be able to
// tell the difference.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "driver/tarvik.h"
#include "platform/windows.h"
#include "protocol/device_bytes.h"
#include "tests/driver/apartment.h"
#include "tests/driver/driver_server.h"
#include "tests/driver/placement.h"
#include "tools/device_end/device_end.h"
#include "tests/support/dispatch_sink.h"
#include "tests/support/test_env.h"

namespace trelvane::testing {

using namespace std::chrono_literals;

struct LoggedEvent {
    std::string text;  // "Name arg,arg"
    DWORD thread;
};

class EventLog {
public:
    void Add(LoggedEvent e) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(e));
        m_changed.notify_all();
    }
    std::vector<LoggedEvent> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (auto& e : Events()) texts.push_back(e.text);
        return texts;
    }
    // Texts that start with prefix.
    std::vector<std::string> Named(const std::string& prefix) {
        std::vector<std::string> texts;
        for (auto& e : Events())
            if (e.text.rfind(prefix, 0) == 0) texts.push_back(e.text);
        return texts;
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_events.clear();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<LoggedEvent> m_events;
};

// A sink for one event interface that logs "Name args" and runs a hook.
class EventSink final : public DispatchSink {
public:
    EventSink(REFIID iid, std::map<DISPID, std::string> names, EventLog* log)
        : DispatchSink(iid), m_names(std::move(names)), m_log(log) {}
    std::function<void(const std::string&)> hook;  // runs after the event is logged

    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        std::string text = m_names[id];
        for (UINT i = params->cArgs; i-- > 0;) {
            const VARIANT& a = params->rgvarg[i];
            text += i + 1 == params->cArgs ? " " : ",";
            switch (a.vt) {
            case VT_I4: text += std::to_string(a.lVal); break;
            case VT_BOOL: text += std::to_string(a.boolVal); break;
            case VT_R4: text += std::to_string(a.fltVal); break;
            case VT_BSTR: text += platform::ToUtf8(platform::WString(a.bstrVal, SysStringLen(a.bstrVal))); break;
            default: text += "?"; break;
            }
        }
        m_log->Add({text, GetCurrentThreadId()});
        if (hook) hook(text);
        return S_OK;
    }

private:
    std::map<DISPID, std::string> m_names;
    EventLog* m_log;
};

inline void NoOp(HWND, UINT, UINT_PTR, DWORD) {}

// Parameterised by Placement (TEST_P, and the suite instantiated with
// INSTANTIATE_TEST_SUITE_P); a TEST_F of it runs in process.
class DriverClientTest : public ::testing::TestWithParam<Placement> {
protected:
    bool Remote() const { return RunsOutOfProcess(*this); }
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(EnterTestApartment()));
        if (Remote()) {
            server = StartDriverServer(home.Path(), tarvik.Out());
            ASSERT_TRUE(server);
        } else {
            const auto driver = platform::ComPtr<CTarvik>::Attach(CTarvik::Create());
            driver->QueryInterface(contract::IID_ITarvik, reinterpret_cast<void**>(tarvik.Out()));
        }
        tarvik->QueryInterface(contract::IID_ITarvikTest, reinterpret_cast<void**>(test.Out()));
        tarvik->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out()));
        events = Sink::Attach(new EventSink(contract::DIID__ITarvikEvents,
                                            {{1, "StartNumberRequest"},
                                             {2, "StartNumberFault"},
                                             {4, "SystemError"},
                                             {5, "StartPostStateChanged"},
                                             {6, "FinishPostStateChanged"},
                                             {7, "BatteryTestReady"}},
                                            &log));
        testEvents = Sink::Attach(
            new EventSink(contract::DIID__ITarvikTestEvents,
                          {{1, "SP_PortOpened"}, {2, "SP_PortClosed"}, {3, "SP_Reset"}, {4, "InputReceived"}}, &log));
        Advise(contract::DIID__ITarvikEvents, events.Get());
        Advise(contract::DIID__ITarvikTestEvents, testEvents.Get());
    }
    void TearDown() override {
        if (tarvik) tarvik->Close();
        tarvik.Reset();
        test.Reset();
        container.Reset();
        events.Reset();
        testEvents.Reset();
        if (server) {
            EXPECT_EQ(server->Finish(), "");  // it ends by itself, cleanly, once the client has let go
        }
        CoUninitialize();
    }
    void Advise(REFIID iid, IUnknown* sink) {
        platform::ComPtr<IConnectionPoint> point;
        ASSERT_EQ(container->FindConnectionPoint(iid, point.Out()), S_OK);
        DWORD cookie = 0;
        ASSERT_EQ(point->Advise(sink, &cookie), S_OK);
    }
    // Opens COMn; returns the status.
    LONG Open(LONG port = 3) {
        LONG status = -1;
        const HRESULT hr = tarvik->Open(port, &status);
        EXPECT_EQ(hr, status == 0 ? S_OK : S_FALSE);
        return status;
    }
    // Runs this thread's message loop (and so the tick) until pred holds.
    bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 3000ms) {
        const UINT_PTR ticker = SetTimer(nullptr, 0, 10, NoOp);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        bool met = pred();
        MSG msg;
        while (!met && std::chrono::steady_clock::now() < deadline && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageW(&msg);
            met = pred();
        }
        KillTimer(nullptr, ticker);
        return met;
    }
    void Pump(std::chrono::milliseconds duration) {
        const auto until = std::chrono::steady_clock::now() + duration;
        PumpUntil([&] { return std::chrono::steady_clock::now() >= until; }, duration + 100ms);
    }
    bool Logged(const std::string& text) {
        for (auto& t : log.Texts())
            if (t == text) return true;
        return false;
    }
    bool WaitLogged(const std::string& text, std::chrono::milliseconds timeout = 3000ms) {
        return PumpUntil([&] { return Logged(text); }, timeout);
    }
    TempHome home;
    std::unique_ptr<DriverServer> server;
    platform::ComPtr<ITarvik> tarvik;
    platform::ComPtr<IConnectionPointContainer> container;
    platform::ComPtr<ITarvikTest> test;
    EventLog log;
    using Sink = platform::ComPtr<EventSink>;
    Sink events;
    Sink testEvents;
};

class DriverTest : public DriverClientTest {
protected:
    void SetUp() override {
        device = DeviceEnd::Create(home.Path(), 3);
        ASSERT_TRUE(device);
        DriverClientTest::SetUp();
    }
    // Sends a byte and waits for the acknowledge.
    void SendAcknowledged(std::uint8_t byte) {
        ASSERT_TRUE(device->SendByte(byte));
        auto ack = device->ReadByte(2s);
        ASSERT_TRUE(ack.has_value());
        EXPECT_EQ(*ack, protocol::kAcknowledge);
    }

    std::unique_ptr<DeviceEnd> device;
};

}  // namespace trelvane::testing
