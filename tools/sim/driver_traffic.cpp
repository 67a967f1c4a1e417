#include "tools/sim/driver_traffic.h"

#include <cstdio>

#include "platform/comm/vline_protocol.h"
#include "protocol/device_bytes.h"

namespace trelvane::sim {
namespace {

constexpr std::size_t kLongestText = 4096;

std::string HexList(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (auto byte : bytes) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%02x", byte);
        text += (text.empty() ? "" : " ") + std::string(hex);
    }
    return text;
}

std::vector<int> Ints(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

tools::Record Driver(std::string event, std::string text, std::string key = {}, std::vector<tools::Field> fields = {}) {
    return tools::Record{{}, "driver", std::move(event), std::move(key), std::move(text), std::move(fields)};
}

std::string ParityName(std::uint8_t parity) {
    static const char* const names[] = {"none", "odd", "even", "mark", "space"};
    return parity < 5 ? names[parity] : "unknown (" + std::to_string(parity) + ")";
}

std::string StopBitsName(std::uint8_t stopBits) {
    static const char* const names[] = {"1", "1.5", "2"};
    return stopBits < 3 ? names[stopBits] : "unknown (" + std::to_string(stopBits) + ")";
}

}  // namespace

int DriverTraffic::DeviceSent(std::uint8_t byte, const std::optional<FrameName>& name) {
    if (protocol::IsDroppedByte(byte)) return 0;
    if (m_frame.empty()) m_frameName = name;
    m_frame.push_back(byte);
    const int place = static_cast<int>(m_frame.size());
    if (place < 4) {
        m_unacknowledged.push_back(place);
        return place;
    }
    m_complete = CompleteFrame{m_frame, m_frameName, 0};
    m_frame.clear();
    m_frameName.reset();
    return place;
}

void DriverTraffic::ForgetFrame() {
    m_frame.clear();
    m_frameName.reset();
    m_unacknowledged.clear();
    m_complete.reset();
}

std::vector<tools::Record> DriverTraffic::Connected() {
    m_lines = 0;  // a new connection starts with every line the driver drives off
    m_text.clear();
    ForgetFrame();
    return {Driver("connect", "connected: the driver opened the port")};
}

std::vector<tools::Record> DriverTraffic::Refused() {
    return {Driver("busy", "a second opener was turned away: the line is busy")};
}

std::vector<tools::Record> DriverTraffic::Disconnected() {
    std::vector<tools::Record> records;
    if (!m_text.empty())
        records.push_back(Driver("text", "text without line feed '" + tools::Printable(m_text) + "'", m_text,
                                 {{"text", m_text}, {"bytes", Ints({m_text.begin(), m_text.end()})}}));
    m_text.clear();
    ForgetFrame();
    records.push_back(Driver("disconnect", "disconnected: the port was closed or the cable pulled"));
    return records;
}

tools::Record DriverTraffic::Acknowledge() {
    if (!m_unacknowledged.empty()) {
        const int place = m_unacknowledged.front();
        m_unacknowledged.pop_front();
        return Driver("ack", "acknowledge of frame byte " + std::to_string(place) + " (0xf0)", std::to_string(place),
                      {{"byte", static_cast<long long>(place)}});
    }
    if (m_complete) {
        CompleteFrame& frame = *m_complete;
        ++frame.finalAcks;
        const std::string what = frame.name ? frame.name->description : "frame " + HexList(frame.bytes);
        std::vector<tools::Field> fields{{"frame", Ints(frame.bytes)},
                                         {"count", static_cast<long long>(frame.finalAcks)}};
        if (frame.name && !frame.name->key.empty())
            fields.push_back({"number", static_cast<long long>(std::stoi(frame.name->key))});
        const std::string again = frame.finalAcks > 1 ? " again (" + std::to_string(frame.finalAcks) + " times)" : "";
        return Driver("final-ack", "final acknowledge (0xf0)" + again + ": " + what + " confirmed",
                      frame.name ? frame.name->key : "", std::move(fields));
    }
    return Driver("stray-ack", "acknowledge (0xf0), but no frame byte waits for one");
}

std::vector<tools::Record> DriverTraffic::Byte(std::uint8_t byte) {
    std::vector<tools::Record> records;
    const std::string shown =
        byte == 0x0A ? "line feed" : "'" + tools::Printable(std::string(1, static_cast<char>(byte))) + "'";
    records.push_back(Driver("byte", "byte " + tools::HexByte(byte) + " " + shown, tools::HexByte(byte),
                             {{"value", static_cast<long long>(byte)}}));
    if (byte != 0x0A) m_text += static_cast<char>(byte);
    if (byte == 0x0A || m_text.size() >= kLongestText) {
        const std::string ending = byte == 0x0A ? "" : " (cut at " + std::to_string(kLongestText) + " bytes)";
        records.push_back(Driver("text", "text '" + tools::Printable(m_text) + "'" + ending, m_text,
                                 {{"text", m_text}, {"bytes", Ints({m_text.begin(), m_text.end()})}}));
        m_text.clear();
    }
    return records;
}

std::vector<tools::Record> DriverTraffic::Received(std::uint8_t byte) {
    if (byte == protocol::kReset) {
        ForgetFrame();  // the start post starts over
        return {Driver("reset", "reset (0x00)")};
    }
    // 0xf0 inside a line of raw text is text (a UTF-8 lead byte, for one).
    if (byte == protocol::kAcknowledge && m_text.empty()) return {Acknowledge()};
    return Byte(byte);
}

std::vector<tools::Record> DriverTraffic::Lines(std::uint8_t lines) {
    struct Line {
        std::uint8_t bit;
        const char* event;
        const char* name;
    };
    static const Line kLines[] = {
        {vline::kDtr, "dtr", "DTR"}, {vline::kRts, "rts", "RTS"}, {vline::kBreak, "break", "break"}};
    std::vector<tools::Record> records;
    for (const auto& line : kLines) {
        const bool on = (lines & line.bit) != 0;
        if (on == ((m_lines & line.bit) != 0)) continue;
        records.push_back(
            Driver(line.event, std::string(line.name) + " " + tools::OnOff(on), tools::OnOff(on), {{"on", on}}));
    }
    m_lines = lines;
    return records;
}

std::vector<tools::Record> DriverTraffic::SettingsRequested(const Settings& s, bool accepted) {
    std::string text = "line settings " + std::to_string(s.baud) + " baud, " + std::to_string(s.dataBits) +
                       " data bits, parity " + ParityName(s.parity) + ", " + StopBitsName(s.stopBits) + " stop bit" +
                       (s.stopBits == 0 ? "" : "s");
    if (!accepted) text += ": refused";
    if (s.baud != 68 || s.dataBits != 8 || s.parity != 0 || s.stopBits != 0)
        text += " (the start post runs at 68 baud, 8 data bits, no parity, 1 stop bit)";
    return {Driver("settings", text, std::to_string(s.baud),
                   {{"baud", static_cast<long long>(s.baud)},
                    {"data_bits", static_cast<long long>(s.dataBits)},
                    {"parity", ParityName(s.parity)},
                    {"stop_bits", StopBitsName(s.stopBits)},
                    {"accepted", accepted}})};
}

}  // namespace trelvane::sim
