// The virtual line: both ends of a serial cable over one stream socket.
// Every message is a type byte, a payload length byte (0 to 255) and the
// payload. Integers are little-endian. docs/virtual-line.md describes it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vline {

constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kHeaderSize = 2;
constexpr std::size_t kMaxPayload = 255;

enum class PcMessage : std::uint8_t {
    Data = 0x01,    // bytes the PC sends down the line
    Lines = 0x02,   // u8: bit 0 DTR, bit 1 RTS, bit 2 break
    Params = 0x03,  // u32 request id, u32 baud, u8 data bits, u8 parity, u8 stop bits
    // u32 request id, u32 baud, u8 data bits, u8 parity, u8 stop bits, u8
    // lines as in Lines: the whole line state, accepted or refused as one.
    Settings = 0x04,
};

enum class DeviceMessage : std::uint8_t {
    Hello = 0x81,        // u8 version, u8 modem lines, u32 baud, u8 data bits, u8 parity, u8 stop bits
    Busy = 0x82,         // the line already has a PC end; the connection is closed after it
    Data = 0x83,         // bytes the device sends up the line
    Modem = 0x84,        // u8 modem lines: the new state of all four at once
    LineError = 0x85,    // u8 LineErrorKind
    ParamsReply = 0x86,  // u32 request id, u8 1 accepted / 0 refused; answers Params and Settings
    WriteFault = 0x87,   // u8 count: the PC end's next count writes fail (0: none)
    Bye = 0x88,          // the device end closes the connection right after it
};

// Modem lines, as the device end drives them.
constexpr std::uint8_t kCts = 0x01;
constexpr std::uint8_t kDsr = 0x02;
constexpr std::uint8_t kRlsd = 0x04;
constexpr std::uint8_t kRing = 0x08;

// Control lines, as the PC end drives them.
constexpr std::uint8_t kDtr = 0x01;
constexpr std::uint8_t kRts = 0x02;
constexpr std::uint8_t kBreak = 0x04;

enum class LineErrorKind : std::uint8_t { Break = 1, Framing = 2, Parity = 3, Overrun = 4 };

constexpr std::size_t kHelloSize = 9;
constexpr std::size_t kParamsSize = 11;
constexpr std::size_t kParamsReplySize = 5;
constexpr std::size_t kSettingsSize = 12;

inline void PutU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint32_t GetU32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

}  // namespace vline
