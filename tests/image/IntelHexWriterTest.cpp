#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "TempDir.h"
#include "image/IntelHexLoader.h"
#include "image/IntelHexWriter.h"
#include "support/Stm8Tools.h"

namespace kw {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t length, std::uint8_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 31 + seed + i / 253);
    return bytes;
}

// The record of the format's usual textbook example, checksum and all.
TEST(HexWriterTest, WritesTheTextbookRecord) {
    const Bytes bytes{0x21, 0x46, 0x01, 0x36, 0x01, 0x21, 0x47, 0x01,
                      0x36, 0x00, 0x7E, 0xFE, 0x09, 0xD2, 0x19, 0x01};
    EXPECT_EQ(toIntelHex(bytes, 0x0100),
              ":10010000214601360121470136007EFE09D2190140\n:00000001FF\n");
    EXPECT_EQ(toIntelHex({}, 0, IntelHexFormat().withLineBreak("\r\n")), ":00000001FF\r\n");
}

TEST(HexWriterTest, RefusesWhatTheFormatCannotHold) {
    EXPECT_THROW(IntelHexWriter(IntelHexFormat().withRecordLength(0)), std::invalid_argument);
    EXPECT_THROW(IntelHexWriter(IntelHexFormat().withRecordLength(256)), std::invalid_argument);
    EXPECT_THROW(toIntelHex(Bytes(2), 0xFFFFFFFF), std::invalid_argument);
    EXPECT_NO_THROW(toIntelHex(Bytes(1), 0xFFFFFFFF));
}

// A chip read out to a file at its flash base loads back as the same image, with or
// without its erased records.
TEST(HexWriterTest, FlashWrittenAtItsBaseLoadsBack) {
    Bytes flash(8192, 0xFF);
    std::copy_n(pattern(300, 1).begin(), 300, flash.begin());
    std::copy_n(pattern(40, 2).begin(), 40, flash.begin() + 5000);
    flash.back() = 0x00;
    for (const IntelHexFormat& format : {IntelHexFormat{}, IntelHexFormat().leavingOut(0xFF)}) {
        const std::string text = toIntelHex(flash, kHexFlashBase, format);
        const auto r = decodeIntelHex(text, 8192);
        EXPECT_FALSE(r.cut);
        EXPECT_EQ(r.base, kHexFlashBase);
        EXPECT_TRUE(std::equal(flash.begin(), flash.end(), r.image->bytes().begin()));
    }
    // 19 records hold the first 300 bytes, 3 the 40 at 5000, 1 the last; then the end.
    const std::string sparse = toIntelHex(flash, kHexFlashBase, IntelHexFormat().leavingOut(0xFF));
    EXPECT_EQ(std::count(sparse.begin(), sparse.end(), '\n'), 24);
}

struct Layout {
    const char* name;
    std::size_t length;
    std::uint32_t address;
    IntelHexFormat format;
    std::size_t extendedAddressRecords;
};

void PrintTo(const Layout& l, std::ostream* os) {
    *os << l.name;
}

class HexWriterLayoutTest : public ::testing::TestWithParam<Layout> {};

// srec_cat, an independent reader, makes the same bytes of our text.
TEST_P(HexWriterLayoutTest, SrecCatReadsTheBytesBack) {
    const Layout& l = GetParam();
    const test::TempDir dir;
    Bytes bytes = pattern(l.length, 7);
    if (l.format.leaveOut)
        std::fill(bytes.begin() + 100, bytes.begin() + 1000, std::uint8_t{0xFF});
    const std::string text = toIntelHex(bytes, l.address, l.format);

    std::size_t extended = 0;
    for (std::size_t at = text.find(":02000004"); at != std::string::npos;
         at = text.find(":02000004", at + 1))
        ++extended;
    EXPECT_EQ(extended, l.extendedAddressRecords);
    // srec_cat fills what was left out with 0xFF, the byte left out.
    EXPECT_EQ(
        test::srecBinary(dir.write("w.hex", text), l.address, static_cast<std::uint32_t>(l.length)),
        bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, HexWriterLayoutTest,
    ::testing::Values(
        Layout{"FlashAtItsBase", 8192, 0x8000, {}, 0},
        Layout{"AcrossA64KBoundaryWithCrLf", 3000, 0xFF00,
               IntelHexFormat().withRecordLength(32).withLineBreak("\r\n"), 1},
        Layout{"AboveTheFirst64K", 1000, 0x12345678, IntelHexFormat().withRecordLength(255), 1},
        Layout{"ErasedRunsLeftOut", 8192, 0x8000, IntelHexFormat().leavingOut(0xFF), 0},
        Layout{"OddRecordLength", 777, 0x1FFFE, IntelHexFormat().withRecordLength(7), 2}),
    [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

} // namespace
} // namespace kw
