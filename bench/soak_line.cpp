#include "bench/soak_line.h"

#include "protocol/device_bytes.h"

namespace trelvane::bench {
namespace {

// An acknowledge takes microseconds; this is for a machine under load.
constexpr auto kAcknowledgeBound = std::chrono::seconds(2);

}  // namespace

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::unique_ptr<SoakLine> SoakLine::Create(const std::string& home, int comNumber, std::string* error) {
    auto device = DeviceEnd::Create(home, comNumber, error);
    if (!device) return nullptr;
    std::unique_ptr<SoakLine> line(new SoakLine(std::move(device)));
    // The hook runs on the device end's thread, outside the device end's lock.
    line->m_device->SetByteHook([raw = line.get()](std::uint8_t byte, auto) { raw->Take(byte); });
    return line;
}

void SoakLine::Take(std::uint8_t byte) {
    const std::int64_t now = NowNs();
    std::lock_guard lock(m_mutex);
    if (byte == protocol::kAcknowledge) {
        ++m_counts.acknowledges;
        m_lastAckAt = now;
    } else if (byte == protocol::kReset) {
        ++m_counts.resets;
    } else {
        ++m_counts.others;
    }
    m_changed.notify_all();
}

SoakLine::Counts SoakLine::Written() {
    m_device->TakeReceived();  // counted by the hook; the device end's copy is not needed
    std::lock_guard lock(m_mutex);
    return m_counts;
}

bool SoakLine::SendFrame(const protocol::Frame& frame, std::vector<double>* ackUs, Sent* sent) {
    for (int i = 0; i < 3; ++i) {
        std::unique_lock lock(m_mutex);
        const long before = m_counts.acknowledges;
        const std::int64_t at = NowNs();
        if (!m_device->SendByte(frame[i])) return false;
        if (!m_changed.wait_for(lock, kAcknowledgeBound, [&] { return m_counts.acknowledges > before; })) return false;
        ackUs->push_back(static_cast<double>(m_lastAckAt - at) / 1e3);
        if (i == 0) sent->firstAcknowledgedAt = m_lastAckAt;
    }
    sent->fourthSentAt = NowNs();
    return m_device->SendByte(frame[3]);
}

bool SoakLine::WaitAcknowledges(long total, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_counts.acknowledges >= total; });
}

bool SoakLine::WaitResets(long total, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_counts.resets >= total; });
}

}  // namespace trelvane::bench
