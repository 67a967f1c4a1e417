// The acknowledge path of the driver object: from a frame byte sent by the
// device to the 0xF0 arriving back at the device, with no sink and with two
// InputReceived sinks connected. Printed beside a raw socket echo measured
// in the same run.
#include <cstdio>
#include <cstring>
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
    auto device = trelvane::DeviceEnd::Create(home.Path(), 1);
    if (!device) return 1;

    auto driver = platform::ComPtr<CTarvik>::Attach(CTarvik::Create());
    LONG status = -1;
    if (driver->Open(1, &status) != S_OK) {
        std::fprintf(stderr, "cannot open the virtual line: status %ld\n", static_cast<long>(status));
        return 1;
    }
    device->ReadByte(std::chrono::seconds(2));  // the reset byte
    platform::ComPtr<IConnectionPoint> point;
    driver->FindConnectionPoint(contract::DIID__ITarvikTestEvents, point.Out());
    using Sink = platform::ComPtr<trelvane::bench::QuietSink>;
    const Sink sinks[2] = {Sink::Attach(new trelvane::bench::QuietSink), Sink::Attach(new trelvane::bench::QuietSink)};
    trelvane::bench::MeasureAcks(*device, 300);  // warm-up
    // Rounds interleave the three measurements, so that all of them meet the
    // same machine: the raw echo alone swings several-fold with where the
    // scheduler puts its two threads.
    std::vector<double> raw, bare, withSinks;
    const int perRound = count / trelvane::bench::kRounds;
    for (int round = 0; round < trelvane::bench::kRounds; ++round) {
        trelvane::bench::Append(raw, trelvane::testing::RawEchoRoundTrips(perRound));
        trelvane::bench::Append(bare, trelvane::bench::MeasureAcks(*device, perRound));
        DWORD cookies[2];
        for (int i = 0; i < 2; ++i) point->Advise(sinks[i].Get(), &cookies[i]);
        trelvane::bench::Append(withSinks, trelvane::bench::MeasureAcks(*device, perRound));
        for (DWORD cookie : cookies) point->Unadvise(cookie);
    }
    driver->Close();

    std::printf("Acknowledge path over the virtual line, %d bytes (%s)\n", count, quick ? "quick run" : "full run");
    trelvane::bench::PrintRow("raw echo round trip (baseline)", raw);
    trelvane::bench::PrintRow("frame byte -> 0xF0, no sink", bare, &raw);
    trelvane::bench::PrintRow("frame byte -> 0xF0, two InputReceived sinks", withSinks, &raw);
    return 0;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
