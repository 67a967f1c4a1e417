// The driver object served to clients in other apartments and processes:
// events to several clients, Unadvise, clients and servers that die or stop
// reading, and activation cycles that must leave nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include "tests/driver/driver_fixture.h"
#include "protocol/frame_coding.h"
#include "tests/support/child_process.h"
#include "tests/support/host_process.h"
#include "tests/support/message_pump.h"
#include "tests/support/process_usage.h"
#include "tests/support/sanitized_build.h"
#include "tests/support/server_thread.h"
#include "tests/support/singleton_factory.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;
using trelvane::DeviceEnd;

platform::ComPtr<EventSink> TestEventsSink(EventLog* log) {
    return platform::ComPtr<EventSink>::Attach(
        new EventSink(contract::DIID__ITarvikTestEvents,
                      {{1, "SP_PortOpened"}, {2, "SP_PortClosed"}, {3, "SP_Reset"}, {4, "InputReceived"}}, log));
}

HRESULT Advise(IUnknown* object, REFIID iid, IUnknown* sink, DWORD* cookie,
               platform::ComPtr<IConnectionPoint>* pointOut = nullptr) {
    platform::ComPtr<IConnectionPointContainer> container;
    platform::ComPtr<IConnectionPoint> point;
    HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out()));
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(iid, point.Out());
    if (SUCCEEDED(hr)) hr = point->Advise(sink, cookie);
    if (pointOut) *pointOut = std::move(point);
    return hr;
}

// Waits until the text is in what the process wrote to standard error.
bool AwaitErrors(HostProcess& process, const std::string& text) {
    for (int i = 0; i < 500; ++i) {
        if (process.Errors().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// The driver object from the registered server, as a client creates it.
HRESULT CreateTarvik(platform::ComPtr<ITarvik>* tarvik) {
    return CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                            reinterpret_cast<void**>(tarvik->Out()));
}

// A client on a thread of its own: it creates the object, connects a sink
// to the test events and pumps its messages until it is stopped.
class ClientThread {
public:
    ClientThread() {
        std::promise<HRESULT> started;
        m_thread = std::thread([this, &started] {
            CoInitialize(nullptr);
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
            m_id = GetCurrentThreadId();
            platform::ComPtr<ITarvik> tarvik;
            HRESULT hr = CreateTarvik(&tarvik);
            auto sink = TestEventsSink(&log);
            DWORD cookie = 0;
            if (SUCCEEDED(hr)) hr = Advise(tarvik.Get(), contract::DIID__ITarvikTestEvents, sink.Get(), &cookie);
            started.set_value(hr);
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
            tarvik.Reset();
            sink.Reset();
            CoUninitialize();
        });
        m_started = started.get_future().get();
    }
    ~ClientThread() {
        PostThreadMessageW(m_id, WM_QUIT, 0, 0);
        m_thread.join();
    }
    HRESULT Started() const { return m_started; }
    EventLog log;

private:
    std::thread m_thread;
    DWORD m_id = 0;
    HRESULT m_started = E_FAIL;
};

// The driver object served by a thread of this process, this thread an
// apartment, a device on COM3.
class Served : public ::testing::Test {
protected:
    void SetUp() override {
        device = DeviceEnd::Create(home.Path(), 3);
        ASSERT_TRUE(device);
        factory = platform::ComPtr<SingletonFactory<CTarvik>>::Attach(new SingletonFactory<CTarvik>);
        server = std::make_unique<ServerThread>(contract::CLSID_CTarvik, factory.Get());
        ASSERT_EQ(server->Registered(), S_OK);
        CoInitialize(nullptr);
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    }
    void TearDown() override {
        CoUninitialize();
        server.reset();
        factory.Reset();
    }
    platform::ComPtr<ITarvik> Create() {
        platform::ComPtr<ITarvik> tarvik;
        EXPECT_EQ(CreateTarvik(&tarvik), S_OK);
        return tarvik;
    }
    // The object, created by this thread, with COM3 open.
    void CreateWithPortOpen(platform::ComPtr<ITarvik>* tarvik) {
        *tarvik = Create();
        ASSERT_TRUE(*tarvik);
        LONG status = -1;
        ASSERT_EQ((*tarvik)->Open(3, &status), S_OK);
    }
    // Counted on the server's thread: the object's references, and the sinks of one point.
    ULONG ObjectReferences() {
        ULONG count = 0;
        server->Run([&] {
            if (CTarvik* object = factory->Object()) {
                object->AddRef();  // the count itself is what is read
                count = object->Release();
            }
        });
        return count;
    }
    int Sinks(REFIID iid) {
        int count = 0;
        server->Run([&] {
            platform::ComPtr<IConnectionPoint> point;
            platform::ComPtr<IEnumConnections> connections;
            CONNECTDATA data;
            if (factory->Object() && SUCCEEDED(factory->Object()->FindConnectionPoint(iid, point.Out())) &&
                SUCCEEDED(point->EnumConnections(connections.Out())))
                while (connections->Next(1, &data, nullptr) == S_OK) {
                    ++count;
                    platform::ComPtr<IUnknown>::Attach(data.pUnk);  // the sink's reference, given back at once
                }
        });
        return count;
    }
    // Pumps this thread's messages (a connection it let go is cleaned up
    // from them) until pred holds.
    bool Eventually(const std::function<bool()>& pred) {
        for (int i = 0; i < 500; ++i) {
            if (PumpUntil(pred, 10ms)) return true;
        }
        return false;
    }
    void SendAcknowledged(std::uint8_t byte) {
        ASSERT_TRUE(device->SendByte(byte));
        EXPECT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kAcknowledge));
    }

    TempHome home;
    std::unique_ptr<DeviceEnd> device;
    platform::ComPtr<SingletonFactory<CTarvik>> factory;
    std::unique_ptr<ServerThread> server;
};

TEST_F(Served, TwoClientsEachGetEveryEventOnceAndInOrder) {
    ClientThread first, second;
    ASSERT_EQ(first.Started(), S_OK);
    ASSERT_EQ(second.Started(), S_OK);
    platform::ComPtr<ITarvik> tarvik;
    ASSERT_NO_FATAL_FAILURE(CreateWithPortOpen(&tarvik));
    ASSERT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));
    std::vector<std::string> expected{"InputReceived Write: '0' (Reset)", "SP_Reset", "SP_PortOpened"};
    for (int frame = 0; frame < 10; ++frame) {
        for (std::uint8_t byte : {0x3F, 0x7B, 0x3F}) {
            SendAcknowledged(byte);
            char read[32];
            std::snprintf(read, sizeof read, "InputReceived Read: '%#x'", byte);
            expected.push_back(read);
            expected.push_back("InputReceived Write: '0xf0' (Acknowledge)");
        }
        ASSERT_TRUE(device->SendByte(0x7B));
        expected.push_back("InputReceived Read: '0x7b'");
    }
    for (ClientThread* client : {&first, &second}) {
        ASSERT_TRUE(Eventually([&] { return client->log.Texts().size() >= expected.size(); }));
        std::this_thread::sleep_for(100ms);  // a duplicate would come meanwhile
        EXPECT_EQ(client->log.Texts(), expected);
    }
    tarvik->Close();
}

// What a client process that traces its events says after its "ready".
std::vector<std::string> Traced(ChildProcess& client) {
    std::vector<std::string> lines = client.OutputLines();
    lines.erase(lines.begin(), std::find(lines.begin(), lines.end(), "ready") + 1);
    return lines;
}

std::unique_ptr<ChildProcess> StartTracingClient() {
    auto client = std::make_unique<ChildProcess>(std::vector<std::string>{TRELVANE_TEST_CLIENT, "--trace"});
    std::size_t from = 0;
    const auto ready = client->WaitForLine([](const std::string& line) { return line == "ready"; }, 10s, &from);
    return ready ? std::move(client) : nullptr;
}

TEST_F(Served, ClientProcessesSeeEachByteReadBeforeItsAcknowledgeAndTheNumberAfterItsFrame) {
    platform::ComPtr<ITarvik> tarvik;
    ASSERT_NO_FATAL_FAILURE(CreateWithPortOpen(&tarvik));
    ASSERT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));
    std::unique_ptr<ChildProcess> clients[2] = {StartTracingClient(), StartTracingClient()};
    ASSERT_TRUE(clients[0] && clients[1]);
    std::vector<std::string> expected;
    for (int number : {12, 345, 678}) {
        const auto frame = protocol::EncodeFrame(number);
        ASSERT_TRUE(frame);
        for (int k = 0; k < 3; ++k) {
            SendAcknowledged((*frame)[k]);
            char read[32];
            std::snprintf(read, sizeof read, "InputReceived Read: '%#x'", (*frame)[k]);
            expected.push_back(read);
            expected.push_back("InputReceived Write: '0xf0' (Acknowledge)");
        }
        ASSERT_TRUE(device->SendByte((*frame)[3]));
        char read[32];
        std::snprintf(read, sizeof read, "InputReceived Read: '%#x'", (*frame)[3]);
        expected.push_back(read);
        // The next frame once the number is reported, so that every frame
        // has its own report.
        expected.push_back("StartNumberRequest " + std::to_string(number));
        for (auto& client : clients) {
            std::size_t from = 0;
            ASSERT_TRUE(
                client->WaitForLine([&](const std::string& line) { return line == expected.back(); }, 10s, &from));
        }
    }
    for (auto& client : clients) EXPECT_EQ(Traced(*client), expected);
    tarvik->Close();
}

TEST_F(Served, ClientProcessesThatStallHoldBackNoAcknowledgeAndTheirEventsWait) {
    platform::ComPtr<ITarvik> tarvik;
    ASSERT_NO_FATAL_FAILURE(CreateWithPortOpen(&tarvik));
    ASSERT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));
    // One reads nothing of its connection, the other is stopped by a signal.
    HostProcess stalled(TRELVANE_TEST_CLIENT, {"--stall"});
    ASSERT_TRUE(stalled.Start());
    std::unique_ptr<ChildProcess> stopped = StartTracingClient();
    ASSERT_TRUE(stopped);
    stopped->Pause();
    // Seven events a frame, more than their sockets hold: the rest waits
    // in the server's queues, within their bound.
    constexpr int kFrames = 1500;
    for (int frame = 0; frame < kFrames; ++frame) {
        for (std::uint8_t byte : {0x3F, 0x7B, 0x3F}) ASSERT_NO_FATAL_FAILURE(SendAcknowledged(byte)) << frame;
        ASSERT_TRUE(device->SendByte(0x7B));
    }
    // Nothing was lost for the stopped client: once it runs again it has
    // every byte's events.
    stopped->Resume();
    std::size_t from = 0;
    for (int k = 0; k < 4 * kFrames; ++k)
        ASSERT_TRUE(stopped->WaitForLine([](const std::string& line) { return line.starts_with("InputReceived Read"); },
                                         10s, &from))
            << k;
    EXPECT_EQ(stopped->ErrorText(), "");
    EXPECT_EQ(stalled.Stop(), 0);
    tarvik->Close();
}

TEST_F(Served, NoEventFollowsTheReturnOfUnadvise) {
    platform::ComPtr<ITarvik> tarvik;
    ASSERT_NO_FATAL_FAILURE(CreateWithPortOpen(&tarvik));
    EventLog log;
    auto sink = TestEventsSink(&log);
    DWORD cookie = 0;
    platform::ComPtr<IConnectionPoint> point;
    ASSERT_EQ(Advise(tarvik.Get(), contract::DIID__ITarvikTestEvents, sink.Get(), &cookie, &point), S_OK);
    std::atomic<bool> stop{false};
    std::thread flood([&] {  // InputReceived from the listener thread, all the time
        while (!stop) {
            device->SendByte(0x00);
            std::this_thread::sleep_for(1ms);
        }
    });
    ASSERT_TRUE(PumpUntil([&] { return log.Texts().size() >= 20; }));
    ASSERT_EQ(point->Unadvise(cookie), S_OK);
    const std::size_t atReturn = log.Texts().size();
    EXPECT_EQ(Sinks(contract::DIID__ITarvikTestEvents), 0);
    PumpUntil([] { return false; }, 300ms);
    stop = true;
    flood.join();
    EXPECT_EQ(log.Texts().size(), atReturn);
    point.Reset();
    sink.Reset();
    tarvik->Close();
}

TEST_F(Served, AClientKilledWhileHoldingTheObjectAndSinksLeavesNothingBehind) {
    platform::ComPtr<ITarvik> tarvik;
    ASSERT_NO_FATAL_FAILURE(CreateWithPortOpen(&tarvik));
    EventLog log;
    auto sink = TestEventsSink(&log);
    DWORD cookie = 0;
    platform::ComPtr<IConnectionPoint> point;  // held, so that no release of ours is on its way meanwhile
    ASSERT_EQ(Advise(tarvik.Get(), contract::DIID__ITarvikTestEvents, sink.Get(), &cookie, &point), S_OK);
    const ULONG ours = ObjectReferences();
    HostProcess other(TRELVANE_TEST_CLIENT);
    ASSERT_TRUE(other.Start());
    EXPECT_NE(other.Output().find("result 0x00000000"), std::string::npos);
    EXPECT_EQ(Sinks(contract::DIID__ITarvikTestEvents), 2);
    EXPECT_EQ(Sinks(contract::DIID__ITarvikEvents), 1);
    EXPECT_EQ(Sinks(IID_IPropertyNotifySink), 1);
    EXPECT_GT(ObjectReferences(), ours);
    other.Kill();
    EXPECT_TRUE(Eventually([&] {
        return Sinks(contract::DIID__ITarvikTestEvents) == 1 && Sinks(contract::DIID__ITarvikEvents) == 0 &&
               Sinks(IID_IPropertyNotifySink) == 0 && ObjectReferences() == ours;
    }));
    // The other client goes on being served.
    ASSERT_TRUE(device->SendByte(0x00));
    EXPECT_TRUE(PumpUntil([&] { return !log.Named("InputReceived Read: '0'").empty(); }));
    LONG port = 0;
    EXPECT_EQ(tarvik->get_PortNumber(&port), S_OK);
    EXPECT_EQ(port, 3);
    tarvik->Close();
    point.Reset();
    tarvik.Reset();
    sink.Reset();
    EXPECT_TRUE(Eventually([&] { return ObjectReferences() == 1; }));  // the factory's alone
}

TEST_F(Served, AClientProcessWhoseSinksThrowLogsItAndGoesOnAsDoTheOthers) {
    platform::ComPtr<ITarvik> tarvik;
    ASSERT_NO_FATAL_FAILURE(CreateWithPortOpen(&tarvik));
    ASSERT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));  // the reset
    EventLog log;
    auto sink = TestEventsSink(&log);
    DWORD cookie = 0;
    ASSERT_EQ(Advise(tarvik.Get(), contract::DIID__ITarvikTestEvents, sink.Get(), &cookie), S_OK);
    HostProcess other(TRELVANE_TEST_CLIENT, {"--throw"});
    ASSERT_TRUE(other.Start());
    ASSERT_NE(other.Output().find("result 0x00000000"), std::string::npos) << other.Output();
    for (std::uint8_t byte : {0x01, 0x02}) ASSERT_TRUE(device->SendByte(byte));
    EXPECT_TRUE(PumpUntil([&] { return log.Named("InputReceived Read: ").size() == 2; }));
    EXPECT_TRUE(AwaitErrors(other, "threw an exception (the test client's sink throws) in an event")) << other.Errors();
    // Its sinks stay connected: it is still there, and ends as it should.
    EXPECT_EQ(Sinks(contract::DIID__ITarvikTestEvents), 2);
    EXPECT_EQ(other.Stop(), 0);
    tarvik->Close();
    tarvik.Reset();
    sink.Reset();
}

TEST_F(Served, ActivationCyclesLeaveNoDescriptorThreadHandleOrMemoryBehind) {
    EventLog log;
    const auto sink = TestEventsSink(&log);
    auto cycle = [&] {
        auto tarvik = Create();
        ASSERT_TRUE(tarvik);
        DWORD cookie = 0;
        platform::ComPtr<IConnectionPoint> point;
        ASSERT_EQ(Advise(tarvik.Get(), contract::DIID__ITarvikTestEvents, sink.Get(), &cookie, &point), S_OK);
        EXPECT_EQ(point->Unadvise(cookie), S_OK);
        point.Reset();
        tarvik.Reset();
    };
    for (int i = 0; i < 20; ++i) cycle();  // what stays for the process's life is made now
    const ULONG unused = 1;                // the factory's reference
    // Both ends close a connection let go a moment later: wait until nothing changes.
    int fds = OpenFdCount();
    ASSERT_TRUE(Eventually([&] {
        PumpUntil([] { return false; }, 50ms);
        const int now = OpenFdCount();
        const bool settled = now == fds;
        fds = now;
        return settled && ObjectReferences() == unused;
    }));
    const int threads = ThreadCount();
    const std::size_t handles = platform::OpenHandleCount();
    const std::size_t heap = HeapInUse();
    for (int i = 0; i < 1000; ++i) cycle();
    EXPECT_TRUE(Eventually([&] { return ObjectReferences() == unused && OpenFdCount() == fds; }));
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(platform::OpenHandleCount(), handles);
#ifndef TRELVANE_SANITIZED_BUILD  // their allocators are not the heap's
    EXPECT_LT(HeapInUse(), heap + 64 * 1024);
#else
    (void)heap;
#endif
}

// A sink of the driver's events that keeps the length of each SystemError
// text it gets (on this thread: it runs while this thread waits).
class SystemErrorLengths final : public DispatchSink {
public:
    SystemErrorLengths() : DispatchSink(contract::DIID__ITarvikEvents) {}
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        if (id == 4 && params && params->cArgs == 1 && params->rgvarg[0].vt == VT_BSTR)
            lengths.push_back(SysStringLen(params->rgvarg[0].bstrVal));
        return S_OK;
    }
    std::vector<UINT> lengths;
};

TEST(Flooded, AClientThatStopsReadingIsDroppedWhileTheServersMemoryStaysBoundedAndTheOthersAreServed) {
    TempHome home;
    HostProcess server(TRELVANE_TEST_HOST);
    ASSERT_TRUE(server.Start());
    CoInitialize(nullptr);
    platform::ComPtr<ITarvik> tarvik;
    ASSERT_EQ(CreateTarvik(&tarvik), S_OK);
    auto sink = platform::ComPtr<SystemErrorLengths>::Attach(new SystemErrorLengths);
    DWORD cookie = 0;
    ASSERT_EQ(Advise(tarvik.Get(), contract::DIID__ITarvikEvents, sink.Get(), &cookie), S_OK);
    // Events raised through the object's own event interface, each with a
    // text of 256 KiB: 16 of them fill a client's bound (4 MiB waiting).
    platform::ComPtr<IDispatch> events;
    ASSERT_EQ(tarvik->QueryInterface(contract::DIID__ITarvikEvents, reinterpret_cast<void**>(events.Out())), S_OK);
    const std::u16string text(128 * 1024, u'x');
    const platform::Bstr textBstr(text);
    VARIANT arg = platform::VariantBstr(textBstr.Get());
    DISPPARAMS params{&arg, nullptr, 1, 0};
    auto raise = [&] {
        return events->Invoke(4, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    };
    for (int i = 0; i < 4; ++i) ASSERT_EQ(raise(), S_OK);  // what the server needs for such events is made now
    HostProcess stalled(TRELVANE_TEST_CLIENT, {"--stall"});
    ASSERT_TRUE(stalled.Start());
    ASSERT_NE(stalled.Output().find("result 0x00000000"), std::string::npos) << stalled.Output();
    const std::uint64_t before = ReadProcessUsage(server.Pid()).residentKiB;
    std::uint64_t most = before;
    constexpr int kFlood = 48;  // three times the stalled client's bound
    // A raise returns the last failure of a sink: the stalled client's,
    // once it has been dropped, until its sinks are removed.
    std::vector<HRESULT> results;
    for (int i = 0; i < kFlood; ++i) {
        results.push_back(raise());
        most = std::max(most, ReadProcessUsage(server.Pid()).residentKiB);
    }
    EXPECT_EQ(std::count(results.begin(), results.end(), S_OK) +
                  std::count(results.begin(), results.end(), RPC_E_DISCONNECTED),
              kFlood);
    EXPECT_NE(std::find(results.begin(), results.end(), RPC_E_DISCONNECTED), results.end());
    EXPECT_EQ(results.back(), S_OK);
    // The stalled client was dropped at its bound, and said so.
    EXPECT_TRUE(AwaitErrors(server, "does not keep up")) << server.Errors();
#ifndef TRELVANE_SANITIZED_BUILD  // their allocators keep what is freed
    // What was queued for it is its bound at most (frames of 256 KiB each):
    // without the bound it would be the whole 12 MiB.
    EXPECT_LT(most - before, 8u * 1024) << "resident KiB before " << before << ", at most " << most;
#else
    (void)most;
#endif
    // This client got every event, whole, each before its raise returned.
    EXPECT_EQ(sink->lengths, std::vector<UINT>(4 + kFlood, static_cast<UINT>(text.size())));
    LONG timeout = 0;
    EXPECT_EQ(tarvik->get_InterCharacterTimeout(&timeout), S_OK);
    events.Reset();
    tarvik.Reset();
    sink.Reset();
    CoUninitialize();
    EXPECT_EQ(stalled.Stop(), 0);  // it comes to an end by itself once it reads again
    EXPECT_EQ(server.Stop(), 0);
}

TEST(ServerGone, ItsClientsGetDisconnectedAtOnceAndNoHang) {
    TempHome home;
    auto device = DeviceEnd::Create(home.Path(), 3);
    ASSERT_TRUE(device);
    HostProcess server(TRELVANE_TEST_HOST);
    ASSERT_TRUE(server.Start());
    CoInitialize(nullptr);
    platform::ComPtr<ITarvik> tarvik;
    ASSERT_EQ(CreateTarvik(&tarvik), S_OK);
    platform::ComPtr<ITarvikTest> test;
    ASSERT_EQ(tarvik->QueryInterface(contract::IID_ITarvikTest, reinterpret_cast<void**>(test.Out())), S_OK);
    platform::ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(tarvik->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out())), S_OK);
    platform::ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(contract::DIID__ITarvikTestEvents, point.Out()), S_OK);
    LONG status = -1;
    ASSERT_EQ(tarvik->Open(3, &status), S_OK);
    // The server dies in the middle of a call that takes seconds.
    std::thread killer([&server] {
        std::this_thread::sleep_for(300ms);
        server.Kill();
    });
    EXPECT_EQ(test->WriteToPort(platform::Bstr(u"twenty characters...").Get()), RPC_E_DISCONNECTED);
    killer.join();
    LONG port = 0;
    EXPECT_EQ(tarvik->get_PortNumber(&port), RPC_E_DISCONNECTED);
    platform::ComPtr<IProvideClassInfo> info;
    EXPECT_EQ(tarvik->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(info.Out())), RPC_E_DISCONNECTED);
    // A sink given to the gone server is not kept for it.
    EventLog log;
    const auto sink = TestEventsSink(&log);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(sink.Get(), &cookie), RPC_E_DISCONNECTED);
    sink->AddRef();
    EXPECT_EQ(sink->Release(), 1u);
    point.Reset();
    container.Reset();
    test.Reset();
    tarvik.Reset();
    // Its socket is left behind, with nobody listening.
    platform::ComPtr<ITarvik> again;
    EXPECT_EQ(CreateTarvik(&again), REGDB_E_CLASSNOTREG);
    CoUninitialize();
}

TEST(ServerGone, ANewServerIsReachedWhileProxiesOfTheOldOneAreHeld) {
    TempHome home;
    CoInitialize(nullptr);
    auto first = std::make_unique<HostProcess>(TRELVANE_TEST_HOST);
    ASSERT_TRUE(first->Start());
    platform::ComPtr<ITarvik> old;
    ASSERT_EQ(CreateTarvik(&old), S_OK);
    first->Kill();  // this thread does not notice until it waits again
    HostProcess second(TRELVANE_TEST_HOST);
    ASSERT_TRUE(second.Start());
    platform::ComPtr<ITarvik> fresh;
    ASSERT_EQ(CreateTarvik(&fresh), S_OK);
    LONG timeout = 0;
    EXPECT_EQ(fresh->get_InterCharacterTimeout(&timeout), S_OK);
    EXPECT_EQ(old->get_InterCharacterTimeout(&timeout), RPC_E_DISCONNECTED);
    fresh.Reset();
    old.Reset();
    CoUninitialize();
    EXPECT_EQ(second.Stop(), 0);
}

}  // namespace
}  // namespace trelvane
