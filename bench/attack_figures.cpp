// What the attacks of tests/attacks cost the real server program: for each,
// a fresh server, a well-behaved client calling it in a loop on a thread of
// its own, and a sampler of the server's /proc figures. Prints, per attack,
// the peak resident memory and descriptors of the server and the longest
// call the well-behaved client saw (docs/reliability.md).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/remoting/limits.h"
#include "platform/windows.h"
#include "bench/quiet_sink.h"
#include "tests/support/attack_peer.h"
#include "tests/support/descriptor_limit.h"
#include "tests/support/process_usage.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace limits = platform::remoting::limits;

struct Figures {
    std::uint64_t peakKiB = 0;
    std::uint64_t peakDescriptors = 0;
    double longestCallMs = 0;
    long calls = 0;
    long failedCalls = 0;
};

// Calls the server in a loop until stopped, keeping the longest call.
void WellBehavedClient(std::atomic<bool>& stop, Figures& figures) {
    CoInitialize(nullptr);
    platform::ComPtr<ITarvik> tarvik;
    if (SUCCEEDED(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                   reinterpret_cast<void**>(tarvik.Out())))) {
        while (!stop) {
            const auto start = Clock::now();
            LONG value = 0;
            const HRESULT hr = tarvik->get_InterCharacterTimeout(&value);
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            figures.longestCallMs = std::max(figures.longestCallMs, ms);
            ++figures.calls;
            if (FAILED(hr)) ++figures.failedCalls;
            std::this_thread::sleep_for(5ms);
        }
        tarvik.Reset();
    } else {
        ++figures.failedCalls;
    }
    CoUninitialize();
}

void Measure(const char* name, const std::function<void(ServerProcess&, const std::string& socket)>& attack) {
    TempHome home;
    ServerProcess server(TRELVANE_SERVER);
    const std::string socket = TarvikSocket(home.Path());
    if (!server.Start() || !server.WaitServing(socket, 10s)) {
        std::printf("%s: the server did not start\n", name);
        return;
    }
    Figures figures;
    const ProcessUsage idle = ReadProcessUsage(server.Pid());
    std::atomic<bool> stop{false};
    std::thread sampler([&] {
        while (!stop) {
            const ProcessUsage now = ReadProcessUsage(server.Pid());
            figures.peakKiB = std::max(figures.peakKiB, now.residentKiB);
            figures.peakDescriptors = std::max(figures.peakDescriptors, now.descriptors);
            std::this_thread::sleep_for(2ms);
        }
    });
    Figures client;
    std::thread caller([&] { WellBehavedClient(stop, client); });
    std::this_thread::sleep_for(200ms);  // the client is connected and calling
    const auto start = Clock::now();
    attack(server, socket);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    caller.join();
    sampler.join();
    std::printf(
        "%-44s %6.1f s  resident %6.1f MiB (idle %5.1f)  descriptors %4llu (idle %3llu)  "
        "longest call %7.1f ms of %ld (%ld failed)  server %s\n",
        name, seconds, figures.peakKiB / 1024.0, idle.residentKiB / 1024.0,
        static_cast<unsigned long long>(figures.peakDescriptors), static_cast<unsigned long long>(idle.descriptors),
        client.longestCallMs, client.calls, client.failedCalls, server.Running() ? "running" : "gone");
    std::fflush(stdout);
    server.Kill();
}

void AdviseFlood(ServerProcess&, const std::string& socket) {
    AttackPeer attacker(socket);
    if (!attacker.Open()) return;
    RawBytes flood;
    for (int i = 0; i < 6000; ++i) {
        const RawBytes advise = attacker.AdviseRequest();
        flood.insert(flood.end(), advise.begin(), advise.end());
    }
    attacker.raw.Send(flood);
    for (int frames = 0; frames < 6000 && !attacker.raw.ReadFrame(10000).empty(); ++frames) {
    }
    // The callbacks stay unanswered until the server gives up on them.
    std::this_thread::sleep_for(std::chrono::milliseconds(5500));
}

void IdleConnectionsAtLowLimit(ServerProcess& server, const std::string& socket) {
    LimitDescriptors(server.Pid(), 64);
    std::vector<std::unique_ptr<RawPeer>> idle;
    for (int i = 0; i < 100; ++i) idle.push_back(std::make_unique<RawPeer>(socket));
    for (auto& peer : idle) peer->WaitClosed(30000);
}

void HalfFrames(ServerProcess&, const std::string& socket) {
    RawBytes almost(4 + platform::remoting::wire::kMaxFrame - 1, 0);
    const std::uint32_t length = platform::remoting::wire::kMaxFrame;
    std::memcpy(almost.data(), &length, sizeof length);
    almost[4] = 4;  // a request
    std::vector<std::unique_ptr<AttackPeer>> slow;
    for (int i = 0; i < 400; ++i) {
        slow.push_back(std::make_unique<AttackPeer>(socket));
        if (slow.back()->Greet()) slow.back()->raw.Send(almost);
    }
    for (auto& peer : slow) peer->raw.WaitClosed(30000);
}

void ConnectionFlood(ServerProcess&, const std::string& socket) {
    std::vector<std::unique_ptr<AttackPeer>> held;
    for (std::size_t i = 0; i < limits::kMaxConnections + 200; ++i) {
        held.push_back(std::make_unique<AttackPeer>(socket));
        held.back()->Greet();
    }
    std::this_thread::sleep_for(1s);
}

void MalformedAfterRequests(ServerProcess&, const std::string& socket) {
    for (int i = 0; i < 1000; ++i) {
        AttackPeer peer(socket);
        if (!peer.Open()) continue;
        RawBytes bytes = peer.PutInterCharacterTimeout(i);
        const RawBytes bad = RawFrame(static_cast<wire::FrameType>(99), [](Writer&) {});
        bytes.insert(bytes.end(), bad.begin(), bad.end());
        peer.raw.Send(bytes);
        peer.raw.WaitClosed(5000);
    }
}

// Clients each advising as many sinks as they may, then all leaving at once.
void SinkFlood(ServerProcess&, const std::string&) {
    constexpr int kClients = 40;
    std::atomic<int> advised{0};
    std::atomic<bool> leave{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&] {
            CoInitialize(nullptr);
            platform::ComPtr<ITarvik> tarvik;
            platform::ComPtr<IConnectionPointContainer> container;
            platform::ComPtr<IConnectionPoint> point;
            auto sink = platform::ComPtr<trelvane::bench::QuietSink>::Attach(new trelvane::bench::QuietSink);
            if (SUCCEEDED(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                           reinterpret_cast<void**>(tarvik.Out()))) &&
                SUCCEEDED(
                    tarvik->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out()))) &&
                SUCCEEDED(container->FindConnectionPoint(contract::DIID__ITarvikTestEvents, point.Out()))) {
                DWORD cookie;
                while (point->Advise(sink.Get(), &cookie) == S_OK) {
                }
            }
            ++advised;
            while (!leave) std::this_thread::sleep_for(10ms);
            point.Reset();
            container.Reset();
            tarvik.Reset();
            sink.Reset();
            CoUninitialize();  // the connection goes, and with it every sink
        });
    while (advised < kClients) std::this_thread::sleep_for(10ms);
    leave = true;
    for (auto& client : clients) client.join();
    std::this_thread::sleep_for(1s);
}

}  // namespace

int Main() {
    Measure("advise flood, 6,000, callbacks unanswered", AdviseFlood);
    Measure("100 idle connections at 64 descriptors", IdleConnectionsAtLowLimit);
    Measure("400 frames of 1 MiB short of a byte", HalfFrames);
    Measure("456 connections greeting and held", ConnectionFlood);
    Measure("1,000 peers: a change, then a bad frame", MalformedAfterRequests);
    Measure("40 clients at the sink limit leaving at once", SinkFlood);
    return 0;
}

}  // namespace trelvane

int main() { return trelvane::Main(); }
