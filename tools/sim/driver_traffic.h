// Names what the driver does on the line, as the start post understands it:
// which 0xf0 acknowledges which frame byte and which is the final
// acknowledge, the reset byte, raw text, line and setting changes. It follows
// the frame as the driver counts it (0x00 and 0xf0 are never frame bytes), so
// bytes sent raw are understood as well as frames sent by number.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/record.h"

namespace trelvane::sim {

struct FrameName {
    std::string description;  // "start number 123"
    std::string key;          // "123", or empty when it is no start number
};

struct Settings {
    std::uint32_t baud = 0;
    std::uint8_t dataBits = 0;
    std::uint8_t parity = 0;
    std::uint8_t stopBits = 0;
};

class DriverTraffic {
public:
    // The device sends a byte. Returns its place in the frame as the driver
    // counts it (1 to 4), or 0 for a byte the driver drops. The name holds
    // for the frame that this byte starts.
    int DeviceSent(std::uint8_t byte, const std::optional<FrameName>& name = std::nullopt);

    // What the driver did; each returns the records to show (time unset).
    std::vector<tools::Record> Connected();
    std::vector<tools::Record> Refused();
    std::vector<tools::Record> Disconnected();
    std::vector<tools::Record> Received(std::uint8_t byte);
    std::vector<tools::Record> Lines(std::uint8_t lines);  // vline bits: DTR, RTS, break
    std::vector<tools::Record> SettingsRequested(const Settings& settings, bool accepted);
    std::uint8_t LinesNow() const { return m_lines; }

private:
    struct CompleteFrame {
        std::vector<std::uint8_t> bytes;
        std::optional<FrameName> name;
        int finalAcks = 0;
    };
    void ForgetFrame();
    tools::Record Acknowledge();
    std::vector<tools::Record> Byte(std::uint8_t byte);

    std::vector<std::uint8_t> m_frame;  // bytes of the frame in progress
    std::optional<FrameName> m_frameName;
    std::deque<int> m_unacknowledged;         // frame places 1 to 3 still without their acknowledge
    std::optional<CompleteFrame> m_complete;  // the last frame of four, waiting for its final acknowledge
    std::string m_text;                       // raw bytes since the last line feed
    std::uint8_t m_lines = 0;
};

}  // namespace trelvane::sim
