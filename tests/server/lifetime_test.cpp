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
#include "tools/testsupport/host_process.h"

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
    Interface* Activate(REFIID iid) {
        Interface* object = nullptr;
        EXPECT_EQ(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, iid,
                                   reinterpret_cast<void**>(&object)),
                  S_OK);
        return object;
    }
    ITarvik* Activate() { return Activate<ITarvik>(contract::IID_ITarvik); }
    // A device on COM3 (kept in device), and the object activated with
    // that port open.
    void ActivateWithPortOpen(ITarvik** tarvik) {
        device = DeviceEnd::Create(home.Path(), 3);
        ASSERT_TRUE(device);
        *tarvik = Activate();
        ASSERT_NE(*tarvik, nullptr);
        LONG status = -1;
        ASSERT_EQ((*tarvik)->Open(3, &status), S_OK);
    }

    static void SleepUntil(Clock::time_point start, double seconds) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(seconds)));
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
        IConnectionPointContainer* container = nullptr;
        IConnectionPoint* point = nullptr;
        IEnumConnections* connections = nullptr;
        int count = -1;
        if (SUCCEEDED(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))) &&
            SUCCEEDED(container->FindConnectionPoint(iid, &point)) && SUCCEEDED(point->EnumConnections(&connections))) {
            CONNECTDATA data;
            HRESULT hr;
            for (count = 0; (hr = connections->Next(1, &data, nullptr)) == S_OK; ++count) data.pUnk->Release();
            if (hr != S_FALSE) count = -1;
        }
        if (connections) connections->Release();
        if (point) point->Release();
        if (container) container->Release();
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
    ITarvik* tarvik = Activate();
    ASSERT_NE(tarvik, nullptr);
    tarvik->Release();
    ExpectQuitAfter(Clock::now());
}

TEST_F(Lifetime, AnActivationWithinTheFiveSecondsStartsTheCountdownAgain) {
    Activate()->Release();
    const auto start = Clock::now();
    SleepUntil(start, 3.0);
    ITarvik* again = Activate();
    SleepUntil(start, 4.0);
    again->Release();
    ExpectQuitAfter(start, 4.0 + kIdle);
}

TEST_F(Lifetime, ServesWithoutEndWhileNoClientHasComeYet) {
    std::this_thread::sleep_for(7s);
    ExpectStillServing();
}

TEST_F(Lifetime, LockServerKeepsTheServerWithoutAnObjectUntilTheUnlock) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(contract::CLSID_CTarvik, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    IUnknown* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    object->Release();  // without the server lock the countdown would start here
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdle + kTolerance + 0.5));
    ExpectStillServing();
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    const auto unlocked = Clock::now();
    factory->Release();
    ExpectQuitAfter(unlocked);
}

TEST_F(Lifetime, AnUnlockWithoutALockTakesNoOtherLockAway) {
    ITarvik* tarvik = Activate();
    ASSERT_NE(tarvik, nullptr);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(contract::CLSID_CTarvik, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);  // a lock this client never took
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdle + kTolerance + 0.5));
    ExpectStillServing();  // the object's lock still holds
    tarvik->Release();
    ExpectQuitAfter(Clock::now());
}

TEST_F(Lifetime, TwoClientsShareOneObjectAndTheCountdownWaitsForTheSecond) {
    ITarvik* first = Activate();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->put_InterCharacterTimeout(4321), S_OK);
    // A second activation gets the same object: the same IUnknown.
    IUnknown* identity = nullptr;
    IUnknown* again = Activate<IUnknown>(IID_IUnknown);
    ASSERT_EQ(first->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(again, identity);
    identity->Release();
    if (again) again->Release();
    std::promise<void> firstLetGo;
    std::promise<Clock::time_point> secondLetGo;
    // The second client: another apartment, with a connection of its own.
    std::thread second([&] {
        CoInitialize(nullptr);
        ITarvik* tarvik = Activate();
        LONG timeout = 0;
        if (tarvik) {
            EXPECT_EQ(tarvik->get_InterCharacterTimeout(&timeout), S_OK);
            firstLetGo.get_future().wait();
            std::this_thread::sleep_for(3s);
            tarvik->Release();
        }
        EXPECT_EQ(timeout, 4321);  // what the first client set: the same object
        secondLetGo.set_value(Clock::now());
        CoUninitialize();
    });
    first->Release();
    firstLetGo.set_value();
    const Clock::time_point released = secondLetGo.get_future().get();
    second.join();
    ExpectQuitAfter(released);
}

TEST_F(Lifetime, AClientThatHoldsOnlyAnEnumeratorKeepsTheServer) {
    IConnectionPointContainer* container = Activate<IConnectionPointContainer>(IID_IConnectionPointContainer);
    ASSERT_NE(container, nullptr);
    IConnectionPoint* point = nullptr;
    ASSERT_EQ(container->FindConnectionPoint(contract::DIID__ITarvikEvents, &point), S_OK);
    IEnumConnections* connections = nullptr;
    ASSERT_EQ(point->EnumConnections(&connections), S_OK);
    point->Release();
    container->Release();  // the object goes back; the enumerator holds nothing of it
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdle + kTolerance + 0.5));
    ExpectStillServing();
    connections->Release();
    ExpectQuitAfter(Clock::now());
}

TEST_F(Lifetime, TheFinalCleanUpClosesAnOpenPortBeforeTheProcessExits) {
    ITarvik* tarvik = nullptr;
    ASSERT_NO_FATAL_FAILURE(ActivateWithPortOpen(&tarvik));
    ASSERT_TRUE(device->WaitConnected(5s));
    tarvik->Release();  // without Close
    const auto start = Clock::now();
    ASSERT_TRUE(device->WaitDisconnected(20s));
    const double closed = SecondsSince(start);
    EXPECT_NEAR(closed, kIdle, kTolerance);
    EXPECT_TRUE(server.Running());  // closed by the server, not by its end
    ExpectQuitAfter(start);
}

TEST_F(Lifetime, AClientKilledInACallLeavesTheOtherServedAndTheCountdownToTheLastClient) {
    ITarvik* tarvik = nullptr;
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
        return Connections(tarvik, contract::DIID__ITarvikEvents) == 0 &&
               Connections(tarvik, contract::DIID__ITarvikTestEvents) == 0;
    };
    for (int i = 0; i < 100 && !sinksGone(); ++i) std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(sinksGone());
    // Its locks went with it, and this client's holds the server.
    SleepUntil(killed, kIdle + kTolerance + 0.5);
    ExpectStillServing();
    EXPECT_EQ(tarvik->Close(), S_OK);
    tarvik->Release();
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
