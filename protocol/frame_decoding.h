// The start-number frame: four bytes, two equal sets of two bytes, each byte
// two inverted, bit-reversed 4-bit digits.
#pragma once

#include <cstdint>
#include <utility>

namespace protocol {

// The two digits of a received byte: first the high nibble, then the low one.
std::pair<int, int> DecodeDigitPair(std::uint8_t byte);

// 100 x hundreds + 10 x tens + units from the first set, or -1 when the two
// sets differ. Digits above 9 count as they are: at most 1665.
std::int32_t DecodeStartNumber(const std::uint8_t frame[4]);

}  // namespace protocol
