// The acknowledge path measured from the device's side: a frame byte sent,
// the 0xF0 back. Shared by the benchmarks that time it in process and with
// the sinks in another apartment.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
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

    void Watch(DeviceEnd& device) {
        device.SetByteHook([this](std::uint8_t, Clock::time_point) {
            std::lock_guard lock(mutex);
            ++count;
            arrived.notify_one();
        });
    }
};

// Times at least `count` acknowledged frame bytes, whole frames at a time:
// the fourth byte of each frame gets no acknowledge and is sent untimed.
// The device end's own thread sends each byte once the 0xF0 of the one before
// has come (a pause of gap after it), and a byte's time ends when that
// thread's wait for the 0xF0 returned: as in the raw echo, one thread of the
// device's side waits, wakes and sends, with no hand-over to another thread
// of this process between two bytes and no parsing of its own in the time.
inline std::vector<double> MeasureAcks(DeviceEnd& device, int count, std::chrono::microseconds gap = {}) {
    static const std::uint8_t frame[4] = {0x3F, 0x7B, 0x3F, 0x7B};
    struct State {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        int next = 0;  // the frame byte whose 0xF0 is awaited
        Clock::time_point sentAt;
        std::vector<double> times;
    };
    auto state = std::make_shared<State>();  // the hook may still run when a wait gives up
    state->times.reserve(static_cast<std::size_t>(count));
    device.SetByteHook([state, &device, count, gap](std::uint8_t byte, Clock::time_point at) {
        if (byte != protocol::kAcknowledge) return;
        std::lock_guard lock(state->mutex);
        if (state->done) return;
        state->times.push_back(std::chrono::duration<double, std::micro>(at - state->sentAt).count());
        if (++state->next == 3) {
            device.SendByte(frame[3]);
            state->next = 0;
        }
        if (state->next == 0 && state->times.size() >= static_cast<std::size_t>(count)) {
            state->done = true;
            state->finished.notify_one();
            return;
        }
        if (gap.count() > 0) std::this_thread::sleep_for(gap);
        state->sentAt = Clock::now();
        device.SendByte(frame[state->next]);
    });
    std::unique_lock lock(state->mutex);
    state->sentAt = Clock::now();
    device.SendByte(frame[0]);
    // Looks every 2 s whether the acknowledges still come.
    bool finished = false;
    for (std::size_t seen = 0; !finished;) {
        finished = state->finished.wait_for(lock, std::chrono::seconds(2), [&] { return state->done; });
        if (!finished && state->times.size() == seen) break;
        seen = state->times.size();
    }
    state->done = true;
    std::vector<double> times = std::move(state->times);
    lock.unlock();
    device.SetByteHook({});
    if (!finished) std::fprintf(stderr, "no acknowledge for byte %zu\n", times.size());
    return times;
}

// The same over a pseudo-terminal whose master side plays the device.
inline std::vector<double> MeasureAcks(trelvane::testing::PtyPort& device, int count,
                                       std::chrono::microseconds gap = {}) {
    static const unsigned char frame[4] = {0x3F, 0x7B, 0x3F, 0x7B};
    std::vector<double> times;
    while (times.size() < static_cast<std::size_t>(count)) {
        for (int k = 0; k < 3; ++k) {
            if (gap.count() > 0) std::this_thread::sleep_for(gap);
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
