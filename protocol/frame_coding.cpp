#include "protocol/frame_coding.h"

#include <algorithm>

namespace trelvane::protocol {
namespace {

// Bit 0 becomes bit 7, bit 1 bit 6, and so on. Its own inverse.
std::uint8_t ReverseBits(std::uint8_t byte) {
    std::uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (byte & (1u << bit)) reversed |= static_cast<std::uint8_t>(0x80u >> bit);
    return reversed;
}

}  // namespace

std::pair<int, int> DecodeDigitPair(std::uint8_t byte) {
    const std::uint8_t digits = ReverseBits(static_cast<std::uint8_t>(~byte));
    return {digits >> 4, digits & 0x0F};
}

std::int32_t DecodeStartNumber(const std::uint8_t frame[kFrameLength]) {
    if (frame[0] != frame[2] || frame[1] != frame[3]) return -1;
    const auto [ignored, units] = DecodeDigitPair(frame[0]);
    const auto [tens, hundreds] = DecodeDigitPair(frame[1]);
    (void)ignored;
    return 100 * hundreds + 10 * tens + units;
}

std::uint8_t EncodeDigitPair(int first, int second) {
    const auto digits = static_cast<std::uint8_t>((first & 0x0F) << 4 | (second & 0x0F));
    return static_cast<std::uint8_t>(~ReverseBits(digits));
}

std::optional<FrameSet> EncodeStartNumberSet(int number) {
    if (number < 0 || number > kLargestStartNumber) return std::nullopt;
    // Largest hundreds first, so that numbers up to 999 keep decimal digits;
    // smaller ones are tried only when the first choice needs a dropped byte.
    for (int hundreds = std::min(15, number / 100); hundreds >= 0; --hundreds) {
        const int rest = number - 100 * hundreds;
        for (int tens = std::min(15, rest / 10); tens >= 0; --tens) {
            const int units = rest - 10 * tens;
            if (units > 15) break;
            const FrameSet set{EncodeDigitPair(0, units), EncodeDigitPair(tens, hundreds)};
            if (!IsDroppedByte(set[0]) && !IsDroppedByte(set[1])) return set;
        }
    }
    return std::nullopt;
}

std::optional<Frame> EncodeFrame(int first, int second) {
    const auto a = EncodeStartNumberSet(first);
    const auto b = EncodeStartNumberSet(second);
    if (!a || !b) return std::nullopt;
    return Frame{(*a)[0], (*a)[1], (*b)[0], (*b)[1]};
}

}  // namespace trelvane::protocol
