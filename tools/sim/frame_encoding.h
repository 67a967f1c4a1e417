// The start-number frame as the start post sends it: two equal sets of two
// bytes, each byte two 4-bit digits, inverted and in reverse bit order.
// Set byte A carries an ignored digit and the units, set byte B the tens and
// the hundreds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace sim {

using Frame = std::array<std::uint8_t, 4>;
using FrameSet = std::array<std::uint8_t, 2>;

// The largest number four digits of 0 to 15 can add up to.
constexpr int kLargestStartNumber = 1665;

// The byte that carries two digits (each 0 to 15).
std::uint8_t EncodeDigitPair(int first, int second);

// True for a byte the driver drops on arrival and never takes into a frame.
bool IsDroppedByte(std::uint8_t byte);

// One set for a number: decimal digits where they suffice, digits above 9
// only for numbers above 999. Empty when the number is out of range or every
// way of writing it needs a byte the driver drops (1656 to 1659 and 1660 to
// 1665).
std::optional<FrameSet> EncodeStartNumberSet(int number);

// The four bytes of a frame whose sets carry first and second.
std::optional<Frame> EncodeFrame(int first, int second);
inline std::optional<Frame> EncodeFrame(int number) { return EncodeFrame(number, number); }

}  // namespace sim
