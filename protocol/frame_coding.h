// The start-number frame: four bytes, two equal sets of two bytes, each byte
// two inverted, bit-reversed 4-bit digits. Set byte A carries an ignored
// digit and the units, set byte B the tens and the hundreds. The driver
// decodes; the simulated start post encodes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "protocol/device_bytes.h"

namespace trelvane::protocol {

using Frame = std::array<std::uint8_t, kFrameLength>;
using FrameSet = std::array<std::uint8_t, 2>;

// The largest number four digits of 0 to 15 can add up to.
constexpr int kLargestStartNumber = 1665;

// The two digits of a received byte: first the high nibble, then the low one.
std::pair<int, int> DecodeDigitPair(std::uint8_t byte);

// 100 x hundreds + 10 x tens + units from the first set, or -1 when the two
// sets differ. Digits above 9 count as they are: at most kLargestStartNumber.
std::int32_t DecodeStartNumber(const std::uint8_t frame[kFrameLength]);

// The byte that carries two digits (each 0 to 15).
std::uint8_t EncodeDigitPair(int first, int second);

// One set for a number: decimal digits where they suffice, digits above 9
// only for numbers above 999. Empty when the number is out of range or every
// way of writing it needs a byte the driver drops (1656 to 1659 and 1660 to
// 1665).
std::optional<FrameSet> EncodeStartNumberSet(int number);

// The four bytes of a frame whose sets carry first and second.
std::optional<Frame> EncodeFrame(int first, int second);
inline std::optional<Frame> EncodeFrame(int number) { return EncodeFrame(number, number); }

}  // namespace trelvane::protocol
