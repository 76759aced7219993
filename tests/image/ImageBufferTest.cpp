#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "image/ImageBuffer.h"

namespace kw {
namespace {

TEST(ImageBufferTest, NewBufferIsZeroAndNegativeLengthIsEmpty) {
    const ImageBuffer buffer(16);
    EXPECT_EQ(buffer.size(), 16u);
    for (auto b : buffer.bytes())
        EXPECT_EQ(b, 0x00);
    EXPECT_EQ(ImageBuffer(-5).size(), 0u);
    EXPECT_EQ(ImageBuffer(0).size(), 0u);
}

TEST(ImageBufferTest, ReadAndWriteStopAtBothEnds) {
    ImageBuffer buffer(8);
    EXPECT_TRUE(buffer.write(7, 0xAB));
    EXPECT_EQ(buffer.read(7), 0xAB);
    for (std::int64_t index : {std::int64_t{8}, std::int64_t{9}, std::int64_t{-1},
                               std::int64_t{1} << 40, std::int64_t{-(std::int64_t{1} << 40)}}) {
        SCOPED_TRACE(index);
        EXPECT_FALSE(buffer.write(index, 0x55));
        EXPECT_EQ(buffer.read(index), std::nullopt);
    }
    for (std::size_t i = 0; i < 7; ++i)
        EXPECT_EQ(buffer.bytes()[i], 0x00) << i;
}

struct EraseCase {
    std::int64_t count;
    std::size_t erased;
};

void PrintTo(const EraseCase& c, std::ostream* os) {
    *os << "count " << c.count;
}

class ImageBufferEraseTest : public ::testing::TestWithParam<EraseCase> {};

TEST_P(ImageBufferEraseTest, ErasesExactlyTheCountWithinTheBuffer) {
    const auto image = makeErasedImage(10, GetParam().count);
    ASSERT_EQ(image->size(), 10u);
    for (std::size_t i = 0; i < image->size(); ++i)
        EXPECT_EQ(image->bytes()[i], i < GetParam().erased ? 0xFF : 0x00) << i;
}

INSTANTIATE_TEST_SUITE_P(Counts, ImageBufferEraseTest,
                         ::testing::Values(EraseCase{0, 0}, EraseCase{-3, 0}, EraseCase{4, 4},
                                           EraseCase{10, 10}, EraseCase{11, 10},
                                           EraseCase{std::int64_t{1} << 40, 10}));

TEST(ImageBufferTest, CopyOutFillsWhatTheBufferDoesNotHold) {
    ImageBuffer buffer(4);
    for (std::uint8_t i = 0; i < 4; ++i)
        buffer.write(i, static_cast<std::uint8_t>(i + 1));
    std::array<std::uint8_t, 4> out{};

    EXPECT_EQ(buffer.copyOut(2, out, 0xEE), 2u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 4>{3, 4, 0xEE, 0xEE}));
    EXPECT_EQ(buffer.copyOut(4, out, 0xEE), 0u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 4>{0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(buffer.copyOut(-1, out, 0x11), 0u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 4>{0x11, 0x11, 0x11, 0x11}));
    EXPECT_EQ(buffer.copyOut(0, out, 0xEE), 4u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
}

TEST(ImageBufferTest, CopyInIsCutAtTheEnd) {
    ImageBuffer buffer(4);
    const std::array<std::uint8_t, 3> in{7, 8, 9};
    EXPECT_EQ(buffer.copyIn(2, in), 2u);
    EXPECT_EQ(buffer.copyIn(4, in), 0u);
    EXPECT_EQ(buffer.copyIn(-1, in), 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.bytes().begin(), buffer.bytes().end()),
              (std::vector<std::uint8_t>{0, 0, 7, 8}));
}

} // namespace
} // namespace kw
