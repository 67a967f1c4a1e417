// The driver object's events to sinks in another apartment. The acknowledge
// path over the virtual line with two InputReceived sinks in the client's
// apartment, beside the same path with no sink and a raw socket echo (rounds
// interleave them); then events per second to one remote sink, beside one
// in the server's own apartment. Server and client are threads of this
// process, each its own apartment, talking over the class's socket.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "bench/ack_measure.h"
#include "bench/stats.h"
#include "driver/tarvik.h"
#include "tests/support/raw_echo.h"
#include "tests/support/server_thread.h"
#include "tests/support/singleton_factory.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using trelvane::bench::Clock;

// Counts what it receives and tells a waiter when a number is reached.
class CountingSink final : public trelvane::testing::DispatchSink {
public:
    CountingSink() : DispatchSink(contract::DIID__ITarvikTestEvents) {}
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        std::lock_guard lock(m_mutex);
        ++m_count;
        m_changed.notify_all();
        return S_OK;
    }
    bool WaitFor(long count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_count >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    long m_count = 0;
};

// Sinks of the client apartment on the object's test events.
class Sinks {
public:
    Sinks(trelvane::testing::ApartmentThread& client, ITarvik* tarvik) : m_client(client) {
        client.Run([&] {
            platform::ComPtr<IConnectionPointContainer> container;
            tarvik->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out()));
            container->FindConnectionPoint(contract::DIID__ITarvikTestEvents, m_point.Out());
        });
    }
    ~Sinks() {
        m_client.Run([&] { m_point.Reset(); });  // a proxy of the client's apartment, let go there
    }
    void Advise(std::vector<IUnknown*> sinks) {
        m_client.Run([&] {
            for (IUnknown* sink : sinks) {
                DWORD cookie = 0;
                m_point->Advise(sink, &cookie);
                m_cookies.push_back(cookie);
            }
        });
    }
    void UnadviseAll() {
        m_client.Run([&] {
            for (DWORD cookie : m_cookies) m_point->Unadvise(cookie);
        });
        m_cookies.clear();
    }

private:
    trelvane::testing::ApartmentThread& m_client;
    platform::ComPtr<IConnectionPoint> m_point;
    std::vector<DWORD> m_cookies;
};

void AckPath(int count, trelvane::DeviceEnd& device, Sinks& sinks) {
    using Sink = platform::ComPtr<trelvane::bench::QuietSink>;
    const Sink quiet[2] = {Sink::Attach(new trelvane::bench::QuietSink), Sink::Attach(new trelvane::bench::QuietSink)};
    trelvane::bench::MeasureAcks(device, 300);  // warm-up
    std::vector<double> raw, bare, remote;
    const int perRound = count / trelvane::bench::kRounds;
    for (int round = 0; round < trelvane::bench::kRounds; ++round) {
        trelvane::bench::Append(raw, trelvane::testing::RawEchoRoundTrips(perRound));
        trelvane::bench::Append(bare, trelvane::bench::MeasureAcks(device, perRound));
        sinks.Advise({quiet[0].Get(), quiet[1].Get()});
        trelvane::bench::Append(remote, trelvane::bench::MeasureAcks(device, perRound));
        sinks.UnadviseAll();
    }
    std::printf("Acknowledge path over the virtual line, %d bytes\n", count);
    trelvane::bench::PrintRow("raw echo round trip (baseline)", raw);
    trelvane::bench::PrintRow("frame byte -> 0xF0, no sink", bare, &raw);
    trelvane::bench::PrintRow("frame byte -> 0xF0, two remote sinks", remote, &raw);
}

// Raises count InputReceived events on the server's thread, at most window
// ahead of what the sink has received; the events per second.
double EventRate(trelvane::testing::ServerThread& server, CTarvik* object, CountingSink& sink, long count) {
    constexpr long kBatch = 500, kWindow = 2000;
    const platform::Bstr text(u"Read: '0x3f'");
    const auto start = Clock::now();
    for (long raised = 0; raised < count; raised += kBatch) {
        if (raised >= kWindow && !sink.WaitFor(raised - kWindow)) break;
        server.Run([&] {
            for (long i = 0; i < kBatch; ++i) object->Fire_InputReceived(text.Get());
        });
    }
    const bool all = sink.WaitFor(count);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return all ? static_cast<double>(count) / seconds : 0;
}

}  // namespace

int Main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    trelvane::testing::TempHome home;
    auto device = trelvane::DeviceEnd::Create(home.Path(), 1);
    if (!device) return 1;
    using Factory = trelvane::testing::SingletonFactory<CTarvik>;
    const auto factory = platform::ComPtr<Factory>::Attach(new Factory);
    {
        trelvane::testing::ServerThread server(contract::CLSID_CTarvik, factory.Get());
        trelvane::testing::ApartmentThread client;
        platform::ComPtr<ITarvik> tarvik;  // a proxy of the client's apartment, let go there
        LONG status = -1;
        client.Run([&] {
            if (SUCCEEDED(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                           reinterpret_cast<void**>(tarvik.Out()))))
                tarvik->Open(1, &status);
        });
        if (status != 0) {
            client.Run([&] { tarvik.Reset(); });
            std::fprintf(stderr, "cannot open the virtual line through the server: status %ld\n",
                         static_cast<long>(status));
            return 1;
        }
        device->ReadByte(std::chrono::seconds(2));  // the reset byte
        {
            Sinks sinks(client, tarvik.Get());
            AckPath(quick ? 1000 : 10000, *device, sinks);
            const long events = quick ? 20000 : 200000;
            const auto remote = platform::ComPtr<CountingSink>::Attach(new CountingSink);
            sinks.Advise({remote.Get()});
            const double remoteRate = EventRate(server, factory->Object(), *remote.Get(), events);
            sinks.UnadviseAll();
            const auto local = platform::ComPtr<CountingSink>::Attach(new CountingSink);
            platform::ComPtr<IConnectionPoint> point;
            DWORD cookie = 0;
            server.Run([&] {
                factory->Object()->FindConnectionPoint(contract::DIID__ITarvikTestEvents, point.Out());
                point->Advise(local.Get(), &cookie);
            });
            const double localRate = EventRate(server, factory->Object(), *local.Get(), events);
            server.Run([&] {
                point->Unadvise(cookie);
                point.Reset();
            });
            std::printf("Events to one sink, %ld InputReceived\n", events);
            std::printf("%-44s %10.0f events/s\n", "sink in the server's apartment (reference)", localRate);
            std::printf("%-44s %10.0f events/s\n", "sink in another apartment", remoteRate);
        }
        client.Run([&] {
            tarvik->Close();
            tarvik.Reset();
        });
    }
    return 0;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
