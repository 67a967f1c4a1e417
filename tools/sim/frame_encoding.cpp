#include "tools/sim/frame_encoding.h"

#include <algorithm>

namespace sim {

std::uint8_t EncodeDigitPair(int first, int second) {
    const auto value = static_cast<std::uint8_t>((first & 0x0F) << 4 | (second & 0x0F));
    std::uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (value & (1u << bit)) reversed |= static_cast<std::uint8_t>(0x80u >> bit);
    return static_cast<std::uint8_t>(~reversed);
}

bool IsDroppedByte(std::uint8_t byte) { return byte == 0x00 || byte == 0xF0; }

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

}  // namespace sim
