#include <gtest/gtest.h>

#include "protocol/frame_decoding.h"

namespace {

TEST(FrameDecoding, DigitsAreInvertedAndBitReversed) {
    EXPECT_EQ(protocol::DecodeDigitPair(0x3F), std::make_pair(0, 3));
    EXPECT_EQ(protocol::DecodeDigitPair(0x7B), std::make_pair(2, 1));
    EXPECT_EQ(protocol::DecodeDigitPair(0xFF), std::make_pair(0, 0));
    EXPECT_EQ(protocol::DecodeDigitPair(0x00), std::make_pair(15, 15));
}

TEST(FrameDecoding, NumbersFromEqualSetsOnly) {
    const std::uint8_t f123[] = {0x3F, 0x7B, 0x3F, 0x7B};
    const std::uint8_t f47[] = {0x1F, 0xFD, 0x1F, 0xFD};
    const std::uint8_t unequal[] = {0x3F, 0x7B, 0x3F, 0x7C};
    const std::uint8_t largest[] = {0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(protocol::DecodeStartNumber(f123), 123);
    EXPECT_EQ(protocol::DecodeStartNumber(f47), 47);
    EXPECT_EQ(protocol::DecodeStartNumber(unequal), -1);
    EXPECT_EQ(protocol::DecodeStartNumber(largest), 1665);  // digits above 9 count as they are
}

}  // namespace
