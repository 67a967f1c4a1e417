// The acknowledge path measured from the device's side: a frame byte sent,
// the 0xF0 back. Shared by the benchmarks that time it in process and with
// the sinks in another apartment.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include "bench/quiet_sink.h"
#include "protocol/device_bytes.h"
#include "tools/device_end/device_end.h"
#include "tests/support/test_env.h"

namespace trelvane::bench {

using Clock = std::chrono::steady_clock;

// When the driver's bytes reach the device.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable arrived;
    int count = 0;
    Clock::time_point last;

    void Watch(DeviceEnd& device) {
        device.SetByteHook([this](std::uint8_t) {
            const auto now = Clock::now();
            std::lock_guard lock(mutex);
            ++count;
            last = now;
            arrived.notify_one();
        });
    }
};

// Times at least `count` acknowledged frame bytes, whole frames at a time:
// the fourth byte of each frame gets no acknowledge and is sent untimed.
inline std::vector<double> MeasureAcks(DeviceEnd& device, Arrivals& arrivals, int count) {
    static const std::uint8_t frame[4] = {0x3F, 0x7B, 0x3F, 0x7B};
    std::vector<double> times;
    int sent = 0;
    while (times.size() < static_cast<std::size_t>(count)) {
        for (int k = 0; k < 3; ++k, ++sent) {
            std::unique_lock lock(arrivals.mutex);
            const int before = arrivals.count;
            const auto at = Clock::now();
            device.SendByte(frame[k]);
            if (!arrivals.arrived.wait_for(lock, std::chrono::seconds(2), [&] { return arrivals.count > before; })) {
                std::fprintf(stderr, "no acknowledge for byte %d\n", sent);
                return times;
            }
            times.push_back(std::chrono::duration<double, std::micro>(arrivals.last - at).count());
        }
        device.SendByte(frame[3]);
    }
    return times;
}

// The same over a pseudo-terminal whose master side plays the device.
inline std::vector<double> MeasureAcks(trelvane::testing::PtyPort& device, int count) {
    static const unsigned char frame[4] = {0x3F, 0x7B, 0x3F, 0x7B};
    std::vector<double> times;
    while (times.size() < static_cast<std::size_t>(count)) {
        for (int k = 0; k < 3; ++k) {
            unsigned char ack = 0;
            const double us = device.RoundTrip(frame[k], &ack, 2000);
            if (us < 0 || ack != protocol::kAcknowledge) {
                std::fprintf(stderr, "no acknowledge for byte %zu\n", times.size());
                return times;
            }
            times.push_back(us);
        }
        device.Send(std::string(1, static_cast<char>(frame[3])));
    }
    return times;
}

}  // namespace trelvane::bench
