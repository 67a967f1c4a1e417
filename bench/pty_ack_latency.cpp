// The acknowledge path of the driver object over a real-port backend: a
// pseudo-terminal whose master side plays the start post. From a frame byte
// written there to the 0xF0 read back, with no sink and with two
// InputReceived sinks connected. Printed beside a raw echo over a second
// pseudo-terminal, measured in the same run.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/ack_measure.h"
#include "bench/stats.h"
#include "driver/tarvik.h"
#include "tests/support/raw_echo.h"
#include "tests/support/test_env.h"

namespace trelvane {

int Main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int count = quick ? 1000 : 10000;
    trelvane::testing::TempHome home;
    trelvane::testing::PtyPort device(home.Path(), 1);
    if (!device.Ok()) return 1;

    auto driver = platform::ComPtr<CTarvik>::Attach(CTarvik::Create());
    LONG status = -1;
    if (driver->Open(1, &status) != S_OK) {
        std::fprintf(stderr, "cannot open the pseudo-terminal: status %ld\n", static_cast<long>(status));
        return 1;
    }
    device.Receive(1, 2000);  // the reset byte
    platform::ComPtr<IConnectionPoint> point;
    driver->FindConnectionPoint(contract::DIID__ITarvikTestEvents, point.Out());
    using Sink = platform::ComPtr<trelvane::bench::QuietSink>;
    const Sink sinks[2] = {Sink::Attach(new trelvane::bench::QuietSink), Sink::Attach(new trelvane::bench::QuietSink)};
    trelvane::bench::MeasureAcks(device, 300);  // warm-up
    // Rounds interleave the three measurements, so that all of them meet the
    // same machine.
    std::vector<double> raw, bare, withSinks;
    const int perRound = count / trelvane::bench::kRounds;
    for (int round = 0; round < trelvane::bench::kRounds; ++round) {
        trelvane::bench::Append(raw, trelvane::testing::PtyEchoRoundTrips(perRound));
        trelvane::bench::Append(bare, trelvane::bench::MeasureAcks(device, perRound));
        DWORD cookies[2];
        for (int i = 0; i < 2; ++i) point->Advise(sinks[i].Get(), &cookies[i]);
        trelvane::bench::Append(withSinks, trelvane::bench::MeasureAcks(device, perRound));
        for (DWORD cookie : cookies) point->Unadvise(cookie);
    }
    // An open port with nothing on the line (no tick runs here: nothing
    // takes this thread's messages).
    const int idleSeconds = quick ? 2 : 5;
    const double before = trelvane::testing::ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double idle = trelvane::testing::ProcessCpuSeconds() - before;
    driver->Close();

    std::printf("Acknowledge path over a pseudo-terminal, %d bytes (%s)\n", count, quick ? "quick run" : "full run");
    trelvane::bench::PrintRow("raw pty echo round trip (baseline)", raw);
    trelvane::bench::PrintRow("frame byte -> 0xF0, no sink", bare, &raw);
    trelvane::bench::PrintRow("frame byte -> 0xF0, two InputReceived sinks", withSinks, &raw);
    std::printf("open idle port: %.3f s of CPU over %d s\n", idle, idleSeconds);
    return 0;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
