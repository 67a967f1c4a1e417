// The start post of the soak: the device end of a virtual line that sends
// start-number frames, waits for the acknowledge of each of the first three
// bytes before the next, and counts every byte the driver writes by kind
// (acknowledges, resets, anything else).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/frame_coding.h"
#include "tools/device_end/device_end.h"

namespace trelvane::bench {

// The monotonic clock in nanoseconds, as the soak's clients stamp events.
std::int64_t NowNs();

class SoakLine {
public:
    static std::unique_ptr<SoakLine> Create(const std::string& home, int comNumber, std::string* error);

    // What the driver has written so far.
    struct Counts {
        long acknowledges = 0;  // 0xF0
        long resets = 0;        // 0x00
        long others = 0;
    };
    Counts Written();
    int Connections() const { return m_device->Connections(); }

    // When the fourth byte went out, and when the acknowledge of the first
    // came back (the driver had taken in everything sent before it then).
    struct Sent {
        std::int64_t firstAcknowledgedAt = 0;
        std::int64_t fourthSentAt = 0;
    };
    // Sends the frame; each of the first three bytes waits for one more
    // acknowledge, whose time (microseconds from the byte's send) is appended
    // to ackUs. False when an acknowledge did not come within the bound.
    bool SendFrame(const protocol::Frame& frame, std::vector<double>* ackUs, Sent* sent);

    // Waits until the driver has written this many acknowledges, or resets.
    bool WaitAcknowledges(long total, std::chrono::milliseconds timeout);
    bool WaitResets(long total, std::chrono::milliseconds timeout);

private:
    explicit SoakLine(std::unique_ptr<DeviceEnd> device) : m_device(std::move(device)) {}
    void Take(std::uint8_t byte);

    std::unique_ptr<DeviceEnd> m_device;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Counts m_counts;
    std::int64_t m_lastAckAt = 0;
};

}  // namespace trelvane::bench
