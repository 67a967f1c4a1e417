// The bytes of the start-post protocol that are not start-number digits:
// what the PC sends the device besides raw text, and what an empty frame
// holds. The driver, the simulated start post and the tests name them here.
#pragma once

#include <cstdint>

namespace trelvane::protocol {

// Sent for each of frame bytes 1 to 3 as it arrives, and for byte 4 when
// the client confirms the number.
inline constexpr std::uint8_t kAcknowledge = 0xF0;

// Tells the start post to start over; sent when the port opens and on request.
inline constexpr std::uint8_t kReset = 0x00;

// What every byte of a frame holds before the frame's bytes arrive.
inline constexpr std::uint8_t kEmptyFrameByte = 0xFF;

inline constexpr int kFrameLength = 4;

// The two bytes the PC sends are never taken into a frame: they are dropped
// on arrival, so no frame can carry them.
constexpr bool IsDroppedByte(std::uint8_t byte) { return byte == kReset || byte == kAcknowledge; }

}  // namespace trelvane::protocol
