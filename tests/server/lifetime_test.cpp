// How long the server lives, against the real program with its real
// intervals: it quits 5 s after the last server lock is given back (its
// class object is withdrawn then) and exits 1 s later. Each case runs in a
// process of its own and with a home of its own, so that they can run side
// by side.
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "tests/server/server_fixture.h"
#include "tools/device_end/device_end.h"
#include "tests/support/host_process.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;
using trelvane::DeviceEnd;

// The wait after the last unlock, the pause after withdrawing, and what a
// noisy machine may add to or take from either.
constexpr double kIdle = 5.0;
constexpr double kPause = 1.0;
constexpr double kTolerance = 1.5;

class Lifetime : public ServerTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start());
        ASSERT_TRUE(server.WaitServing(SocketPath(), 10s));
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
    }
    void TearDown() override {
        CoUninitialize();
        EXPECT_EQ(server.Output(), "");
    }

    template <class Interface>
    platform::ComPtr<Interface> Activate(REFIID iid) {
        platform::ComPtr<Interface> object;
        EXPECT_EQ(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, iid,
                                   reinterpret_cast<void**>(object.Out())),
                  S_OK);
        return object;
    }
    platform::ComPtr<ITarvik> Activate() { return Activate<ITarvik>(contract::IID_ITarvik); }
    // A device on COM3 (kept in device), and the object activated with
    // that port open.
    void ActivateWithPortOpen(platform::ComPtr<ITarvik>* tarvik) {
        device = DeviceEnd::Create(home.Path(), 3);
        ASSERT_TRUE(device);
        *tarvik = Activate();
        ASSERT_TRUE(*tarvik);
        LONG status = -1;
        ASSERT_EQ((*tarvik)->Open(3, &status), S_OK);
    }

    static void SleepUntil(Clock::time_point start, double seconds) {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    }
    // The class object is withdrawn idle seconds after start, and the
    // process exits with status 0 after the pause.
    void ExpectQuitAfter(Clock::time_point start, double idle = kIdle) {
        ASSERT_TRUE(server.WaitWithdrawn(SocketPath(), 20s));
        const double withdrawn = SecondsSince(start);
        EXPECT_NEAR(withdrawn, idle, kTolerance);
        EXPECT_EQ(server.Wait(10s), 0);
        const double exited = SecondsSince(start);
        EXPECT_GE(exited - withdrawn, kPause - 0.1);
        EXPECT_LE(exited - withdrawn, kPause + kTolerance);
    }
    // The sinks connected to the object's point for iid; -1 when they cannot be counted.
    static int Connections(IUnknown* object, REFIID iid) {
        platform::ComPtr<IConnectionPointContainer> container;
        platform::ComPtr<IConnectionPoint> point;
        platform::ComPtr<IEnumConnections> connections;
        int count = -1;
        if (SUCCEEDED(
                object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out()))) &&
            SUCCEEDED(container->FindConnectionPoint(iid, point.Out())) &&
            SUCCEEDED(point->EnumConnections(connections.Out()))) {
            CONNECTDATA data;
            HRESULT hr;
            for (count = 0; (hr = connections->Next(1, &data, nullptr)) == S_OK; ++count)
                platform::ComPtr<IUnknown>::Attach(data.pUnk);  // the sink's reference, given back at once
            if (hr != S_FALSE) count = -1;
        }
        return count;
    }
    // Still serving although it would have quit by now without the lock.
    void ExpectStillServing() {
        EXPECT_TRUE(server.Running());
        EXPECT_TRUE(Exists(SocketPath()));
    }

    ServerProcess server{TRELVANE_SERVER};
    std::unique_ptr<DeviceEnd> device;
};

TEST_F(Lifetime, QuitsFiveSecondsAfterTheLastClientLetsGoAndExitsASecondLater) {
    auto tarvik = Activate();
    ASSERT_TRUE(tarvik);
    tarvik.Reset();
    ExpectQuitAfter(Clock::now());
}

TEST_F(Lifetime, AnActivationWithinTheFiveSecondsStartsTheCountdownAgain) {
    Activate().Reset();
    const auto start = Clock::now();
    SleepUntil(start, 3.0);
    auto again = Activate();
    SleepUntil(start, 4.0);
    again.Reset();
    ExpectQuitAfter(start, 4.0 + kIdle);
}

TEST_F(Lifetime, ServesWithoutEndWhileNoClientHasComeYet) {
    std::this_thread::sleep_for(7s);
    ExpectStillServing();
}

TEST_F(Lifetime, LockServerKeepsTheServerWithoutAnObjectUntilTheUnlock) {
    platform::ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(contract::CLSID_CTarvik, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(factory.Out())),
              S_OK);
    platform::ComPtr<IUnknown> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(object.Out())), S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    object.Reset();  // without the server lock the countdown would start here
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdle + kTolerance + 0.5));
    ExpectStillServing();
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    const auto unlocked = Clock::now();
    factory.Reset();
    ExpectQuitAfter(unlocked);
}

TEST_F(Lifetime, AnUnlockWithoutALockTakesNoOtherLockAway) {
    auto tarvik = Activate();
    ASSERT_TRUE(tarvik);
    platform::ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(contract::CLSID_CTarvik, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(factory.Out())),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);  // a lock this client never took
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdle + kTolerance + 0.5));
    ExpectStillServing();  // the object's lock still holds
    tarvik.Reset();
    ExpectQuitAfter(Clock::now());
}

TEST_F(Lifetime, TwoClientsShareOneObjectAndTheCountdownWaitsForTheSecond) {
    auto first = Activate();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->put_InterCharacterTimeout(4321), S_OK);
    // A second activation gets the same object: the same IUnknown.
    platform::ComPtr<IUnknown> identity;
    auto again = Activate<IUnknown>(IID_IUnknown);
    ASSERT_EQ(first->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.Out())), S_OK);
    EXPECT_EQ(again.Get(), identity.Get());
    identity.Reset();
    again.Reset();
    std::promise<void> firstLetGo;
    std::promise<Clock::time_point> secondLetGo;
    // The second client: another apartment, with a connection of its own.
    std::thread second([&] {
        CoInitialize(nullptr);
        auto tarvik = Activate();
        LONG timeout = 0;
        if (tarvik) {
            EXPECT_EQ(tarvik->get_InterCharacterTimeout(&timeout), S_OK);
            firstLetGo.get_future().wait();
            std::this_thread::sleep_for(3s);
            tarvik.Reset();
        }
        EXPECT_EQ(timeout, 4321);  // what the first client set: the same object
        secondLetGo.set_value(Clock::now());
        CoUninitialize();
    });
    first.Reset();
    firstLetGo.set_value();
    const Clock::time_point released = secondLetGo.get_future().get();
    second.join();
    ExpectQuitAfter(released);
}

TEST_F(Lifetime, AClientThatHoldsOnlyAnEnumeratorKeepsTheServer) {
    auto container = Activate<IConnectionPointContainer>(IID_IConnectionPointContainer);
    ASSERT_TRUE(container);
    platform::ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(contract::DIID__ITarvikEvents, point.Out()), S_OK);
    platform::ComPtr<IEnumConnections> connections;
    ASSERT_EQ(point->EnumConnections(connections.Out()), S_OK);
    point.Reset();
    container.Reset();  // the object goes back; the enumerator holds nothing of it
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdle + kTolerance + 0.5));
    ExpectStillServing();
    connections.Reset();
    ExpectQuitAfter(Clock::now());
}

TEST_F(Lifetime, TheFinalCleanUpClosesAnOpenPortBeforeTheProcessExits) {
    platform::ComPtr<ITarvik> tarvik;
    ASSERT_NO_FATAL_FAILURE(ActivateWithPortOpen(&tarvik));
    ASSERT_TRUE(device->WaitConnected(5s));
    tarvik.Reset();  // without Close
    const auto start = Clock::now();
    ASSERT_TRUE(device->WaitDisconnected(20s));
    const double closed = SecondsSince(start);
    EXPECT_NEAR(closed, kIdle, kTolerance);
    EXPECT_TRUE(server.Running());  // closed by the server, not by its end
    ExpectQuitAfter(start);
}

TEST_F(Lifetime, AClientKilledInACallLeavesTheOtherServedAndTheCountdownToTheLastClient) {
    platform::ComPtr<ITarvik> tarvik;
    ASSERT_NO_FATAL_FAILURE(ActivateWithPortOpen(&tarvik));
    ASSERT_EQ(device->ReadByte(5s), std::optional<std::uint8_t>(0x00));  // the reset
    // The other client, with its sinks, writes to the port: a call that
    // holds it (and the server) for two seconds, a character every 100 ms.
    HostProcess other(TRELVANE_TEST_CLIENT, {"--write", "twenty characters..."});
    ASSERT_TRUE(other.Start());
    ASSERT_NE(other.Output().find("result 0x00000000"), std::string::npos) << other.Output();
    ASSERT_EQ(device->ReadByte(5s), std::optional<std::uint8_t>('t'));
    other.Kill();
    const auto killed = Clock::now();
    // This client is served, and the killed one's sinks are gone.
    LONG port = 0;
    EXPECT_EQ(tarvik->get_PortNumber(&port), S_OK);
    EXPECT_EQ(port, 3);
    auto sinksGone = [&] {
        return Connections(tarvik.Get(), contract::DIID__ITarvikEvents) == 0 &&
               Connections(tarvik.Get(), contract::DIID__ITarvikTestEvents) == 0;
    };
    for (int i = 0; i < 100 && !sinksGone(); ++i) std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(sinksGone());
    // Its locks went with it, and this client's holds the server.
    SleepUntil(killed, kIdle + kTolerance + 0.5);
    ExpectStillServing();
    EXPECT_EQ(tarvik->Close(), S_OK);
    tarvik.Reset();
    ExpectQuitAfter(Clock::now());
}

TEST_F(Lifetime, AClientThatIsKilledGivesItsLockBack) {
    HostProcess client(TRELVANE_TEST_CLIENT);
    ASSERT_TRUE(client.Start());
    ASSERT_NE(client.Output().find("result 0x00000000"), std::string::npos) << client.Output();
    client.Kill();
    ExpectQuitAfter(Clock::now());
}

}  // namespace
}  // namespace trelvane
