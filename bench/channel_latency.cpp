// The start-post channel over the virtual line: how long a byte from the
// device takes to reach the callback, how long a Write from inside the
// callback takes to reach the device, and what an open idle port costs.
// Printed beside a raw socket echo measured in the same run.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/stats.h"
#include "protocol/device_bytes.h"
#include "serial/serial_sp.h"
#include "tools/device_end/device_end.h"
#include "tests/support/raw_echo.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using Clock = std::chrono::steady_clock;

struct Probe {
    CSerialSP* channel = nullptr;
    std::atomic<Clock::rep> callbackAt{0};
    std::atomic<Clock::rep> arrivedAt{0};
    std::mutex mutex;
    std::condition_variable arrived;
    bool done = false;
};

// Answers every received byte at once, as the driver's acknowledge does.
void Answer(void* userData, BYTE, const char* text) {
    auto* probe = static_cast<Probe*>(userData);
    if (std::strncmp(text, "Read", 4) != 0) return;
    probe->callbackAt = Clock::now().time_since_epoch().count();
    const BYTE ack = protocol::kAcknowledge;
    if (const LONG failed = probe->channel->Write(&ack, 1))
        std::fprintf(stderr, "cannot answer: %ld\n", static_cast<long>(failed));
}

double Micros(Clock::rep from, Clock::rep to) {
    return std::chrono::duration<double, std::micro>(Clock::duration(to - from)).count();
}

}  // namespace

int Main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int count = quick ? 1000 : 10000;
    const int idleSeconds = quick ? 2 : 10;

    trelvane::testing::TempHome home;
    auto device = trelvane::DeviceEnd::Create(home.Path(), 1);
    if (!device) return 1;
    Probe probe;
    device->SetByteHook([&probe](std::uint8_t, Clock::time_point arrived) {
        probe.arrivedAt = arrived.time_since_epoch().count();
        std::lock_guard lock(probe.mutex);
        probe.done = true;
        probe.arrived.notify_one();
    });
    CSerialSP channel;
    probe.channel = &channel;
    if (channel.OpenPort(u"COM1") != 0 || channel.SetEventMask(CSerialSP::DeviceEventMask) != 0) {
        std::fprintf(stderr, "cannot open the virtual line: %ld\n", static_cast<long>(channel.LastErrorCode()));
        return 1;
    }
    channel.SetCallback(Answer, &probe);

    // Rounds interleave the channel and the raw echo, so that both meet the
    // same machine: the raw echo alone swings several-fold with where the
    // scheduler puts its two threads.
    std::vector<double> toCallback, toDevice, roundTrip, raw;
    auto measure = [&](int bytes, bool keep) {
        for (int i = 0; i < bytes; ++i) {
            {
                std::lock_guard lock(probe.mutex);
                probe.done = false;
            }
            const auto sentAt = Clock::now().time_since_epoch().count();
            device->SendByte(0x3F);
            std::unique_lock lock(probe.mutex);
            if (!probe.arrived.wait_for(lock, std::chrono::seconds(2), [&] { return probe.done; })) {
                std::fprintf(stderr, "no answer to byte %d\n", i);
                return false;
            }
            if (!keep) continue;
            toCallback.push_back(Micros(sentAt, probe.callbackAt));
            toDevice.push_back(Micros(probe.callbackAt, probe.arrivedAt));
            roundTrip.push_back(Micros(sentAt, probe.arrivedAt));
        }
        return true;
    };
    if (!measure(300, false)) return 1;  // warm-up
    for (int round = 0; round < trelvane::bench::kRounds; ++round) {
        trelvane::bench::Append(raw, trelvane::testing::RawEchoRoundTrips(count / trelvane::bench::kRounds));
        if (!measure(count / trelvane::bench::kRounds, true)) return 1;
    }

    std::printf("Virtual line, %d bytes (%s)\n", count, quick ? "quick run" : "full run");
    trelvane::bench::PrintRow("raw echo round trip (baseline)", raw);
    trelvane::bench::PrintRow("device byte -> channel callback", toCallback);
    trelvane::bench::PrintRow("Write in callback -> device end", toDevice);
    trelvane::bench::PrintRow("device byte -> answer at device end", roundTrip, &raw);

    const double before = trelvane::testing::ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double used = trelvane::testing::ProcessCpuSeconds() - before;
    std::printf("open idle port: %.3f s of CPU over %d s\n", used, idleSeconds);
    channel.Close();
    return 0;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
