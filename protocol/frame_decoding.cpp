#include "protocol/frame_decoding.h"

namespace protocol {

std::pair<int, int> DecodeDigitPair(std::uint8_t byte) {
    std::uint8_t inverted = static_cast<std::uint8_t>(~byte);
    std::uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (inverted & (1u << bit)) reversed |= static_cast<std::uint8_t>(0x80u >> bit);
    return {reversed >> 4, reversed & 0x0F};
}

std::int32_t DecodeStartNumber(const std::uint8_t frame[4]) {
    if (frame[0] != frame[2] || frame[1] != frame[3]) return -1;
    const auto [ignored, units] = DecodeDigitPair(frame[0]);
    const auto [tens, hundreds] = DecodeDigitPair(frame[1]);
    (void)ignored;
    return 100 * hundreds + 10 * tens + units;
}

}  // namespace protocol
