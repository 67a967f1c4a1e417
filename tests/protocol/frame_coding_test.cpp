#include <gtest/gtest.h>

#include "protocol/frame_coding.h"

namespace trelvane {
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
    EXPECT_EQ(protocol::DecodeStartNumber(largest), protocol::kLargestStartNumber);  // digits above 9 count as they are
}

TEST(FrameCoding, EveryByteIsTheEncodingOfItsDigits) {
    for (int byte = 0; byte <= 0xFF; ++byte) {
        const auto [first, second] = protocol::DecodeDigitPair(static_cast<std::uint8_t>(byte));
        EXPECT_EQ(protocol::EncodeDigitPair(first, second), byte);
    }
}

TEST(FrameCoding, EveryNumberDecodesBackOrNeedsADroppedByte) {
    int refused = 0;
    for (int n = 0; n <= protocol::kLargestStartNumber; ++n) {
        const auto frame = protocol::EncodeFrame(n);
        if (!frame) {
            EXPECT_TRUE((n >= 1656 && n <= 1665)) << n;  // every way of writing these needs a reset byte
            ++refused;
            continue;
        }
        EXPECT_EQ(protocol::DecodeStartNumber(frame->data()), n);
        for (auto byte : *frame) EXPECT_FALSE(protocol::IsDroppedByte(byte)) << n;
    }
    EXPECT_EQ(refused, 10);
    EXPECT_FALSE(protocol::EncodeFrame(-1));
    EXPECT_FALSE(protocol::EncodeFrame(protocol::kLargestStartNumber + 1));
}

TEST(FrameCoding, KnownFramesAndUnequalSets) {
    EXPECT_EQ(protocol::EncodeFrame(123), (protocol::Frame{0x3F, 0x7B, 0x3F, 0x7B}));
    EXPECT_EQ(protocol::EncodeFrame(47), (protocol::Frame{0x1F, 0xFD, 0x1F, 0xFD}));
    EXPECT_EQ(protocol::EncodeFrame(0), (protocol::Frame{0xFF, 0xFF, 0xFF, 0xFF}));
    const auto unequal = protocol::EncodeFrame(123, 124);
    ASSERT_TRUE(unequal);
    EXPECT_EQ(protocol::DecodeStartNumber(unequal->data()), -1);
}

}  // namespace
}  // namespace trelvane
