// Reading and writing the virtual line's messages (vline_protocol.h): a
// reader that splits the bytes of one direction into messages, and the
// payloads with a layout of their own. Both ends of the line use it, so what
// one end writes is what the other reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/comm/vline_protocol.h"

namespace vline {

// One message: its type byte and its payload.
struct Message {
    std::uint8_t type = 0;
    const std::uint8_t* payload = nullptr;  // valid until the reader takes more bytes
    std::size_t length = 0;
};

// Collects the bytes of one direction of the line and hands out its messages
// once they are complete.
class MessageReader {
public:
    void Append(const std::uint8_t* data, std::size_t length) {
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_offset));
        m_offset = 0;
        m_bytes.insert(m_bytes.end(), data, data + length);
    }

    // The next complete message; false while the bytes left are only the
    // start of one.
    bool Next(Message* message) {
        const std::size_t left = m_bytes.size() - m_offset;
        if (left < kHeaderSize || left < kHeaderSize + m_bytes[m_offset + 1]) return false;
        *message = {m_bytes[m_offset], m_bytes.data() + m_offset + kHeaderSize, m_bytes[m_offset + 1]};
        m_offset += kHeaderSize + message->length;
        return true;
    }

    // The bytes of a message not yet complete.
    std::size_t Pending() const { return m_bytes.size() - m_offset; }

    void Clear() {
        m_bytes.clear();
        m_offset = 0;
    }

private:
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_offset = 0;  // where the messages not yet handed out begin
};

struct LineSettings {
    std::uint32_t baud = 0;
    std::uint8_t dataBits = 0;
    std::uint8_t parity = 0;
    std::uint8_t stopBits = 0;
    bool operator==(const LineSettings&) const = default;
};

struct Hello {
    std::uint8_t version = kVersion;
    std::uint8_t modem = 0;
    LineSettings settings;
    bool operator==(const Hello&) const = default;
};

// Params (without lines) or Settings (with them).
struct SettingsRequest {
    std::uint32_t id = 0;
    LineSettings settings;
    std::optional<std::uint8_t> lines;
    bool operator==(const SettingsRequest&) const = default;
};

struct ParamsReply {
    std::uint32_t id = 0;
    bool accepted = false;
    bool operator==(const ParamsReply&) const = default;
};

// Each reader gives nothing for a message of another type or of a length
// that is not its type's.

inline std::optional<Hello> ReadHello(const Message& m) {
    if (m.type != static_cast<std::uint8_t>(DeviceMessage::Hello) || m.length != kHelloSize) return std::nullopt;
    const std::uint8_t* p = m.payload;
    return Hello{p[0], p[1], {GetU32(p + 2), p[6], p[7], p[8]}};
}

inline std::optional<SettingsRequest> ReadSettingsRequest(const Message& m) {
    const bool params = m.type == static_cast<std::uint8_t>(PcMessage::Params) && m.length == kParamsSize;
    const bool settings = m.type == static_cast<std::uint8_t>(PcMessage::Settings) && m.length == kSettingsSize;
    if (!params && !settings) return std::nullopt;
    const std::uint8_t* p = m.payload;
    SettingsRequest request{GetU32(p), {GetU32(p + 4), p[8], p[9], p[10]}, std::nullopt};
    if (settings) request.lines = p[11];
    return request;
}

inline std::optional<ParamsReply> ReadParamsReply(const Message& m) {
    if (m.type != static_cast<std::uint8_t>(DeviceMessage::ParamsReply) || m.length != kParamsReplySize)
        return std::nullopt;
    return ParamsReply{GetU32(m.payload), m.payload[4] != 0};
}

// The one byte of Lines, Modem, LineError and WriteFault.
inline std::optional<std::uint8_t> ReadByte(const Message& m) {
    if (m.length != 1) return std::nullopt;
    return m.payload[0];
}

// Appends a message; Data longer than one payload goes out as several.
template <typename Type>
void AppendMessage(std::vector<std::uint8_t>& out, Type type, const std::uint8_t* payload, std::size_t length) {
    do {
        const std::size_t chunk = length < kMaxPayload ? length : kMaxPayload;
        out.push_back(static_cast<std::uint8_t>(type));
        out.push_back(static_cast<std::uint8_t>(chunk));
        out.insert(out.end(), payload, payload + chunk);
        payload += chunk;
        length -= chunk;
    } while (length > 0);
}

inline void AppendHello(std::vector<std::uint8_t>& out, const Hello& hello) {
    std::uint8_t p[kHelloSize] = {hello.version, hello.modem};
    PutU32(p + 2, hello.settings.baud);
    p[6] = hello.settings.dataBits;
    p[7] = hello.settings.parity;
    p[8] = hello.settings.stopBits;
    AppendMessage(out, DeviceMessage::Hello, p, sizeof p);
}

inline void AppendSettingsRequest(std::vector<std::uint8_t>& out, const SettingsRequest& request) {
    std::uint8_t p[kSettingsSize] = {};
    PutU32(p, request.id);
    PutU32(p + 4, request.settings.baud);
    p[8] = request.settings.dataBits;
    p[9] = request.settings.parity;
    p[10] = request.settings.stopBits;
    p[11] = request.lines.value_or(0);
    if (request.lines)
        AppendMessage(out, PcMessage::Settings, p, kSettingsSize);
    else
        AppendMessage(out, PcMessage::Params, p, kParamsSize);
}

inline void AppendParamsReply(std::vector<std::uint8_t>& out, const ParamsReply& reply) {
    std::uint8_t p[kParamsReplySize] = {};
    PutU32(p, reply.id);
    p[4] = reply.accepted ? 1 : 0;
    AppendMessage(out, DeviceMessage::ParamsReply, p, sizeof p);
}

}  // namespace vline
