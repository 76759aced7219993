#include <gtest/gtest.h>

#include "image/Errors.h"
#include "view/HexDump.h"
#include "view/KeyFilter.h"

namespace kw {
namespace {

TEST(HexDump, RowLabelsAsciiAndRowCounts) {
    EXPECT_EQ(hexdump::rowLabel(1), "0x0000H");
    EXPECT_EQ(hexdump::rowLabel(2), "0x0010H");
    EXPECT_EQ(hexdump::rowLabel(257), "0x1000H");
    EXPECT_EQ(hexdump::rowLabel(512), "0x1FF0H");   // the last row of 8192 bytes
    EXPECT_EQ(hexdump::rowLabel(4097), "0x10000H"); // more than three digits when needed

    const std::pair<std::uint8_t, char> ascii[] = {{0x41, 'A'}, {0x20, '.'}, {0x7F, '\x7F'},
                                                   {0x80, '.'}, {0x00, '.'}, {0x7E, '~'},
                                                   {0x21, '!'}, {0x0A, '.'}, {0xFF, '.'}};
    for (auto [byte, shown] : ascii)
        EXPECT_EQ(hexdump::asciiOf(byte), shown) << int(byte);
    EXPECT_EQ(hexdump::byteHex(0x0A), "0A");
    EXPECT_EQ(hexdump::byteHex(0xAF), "AF");

    EXPECT_EQ(hexdump::rowCountFor(8192), 513);
    EXPECT_EQ(hexdump::rowCountFor(4096), 257);
    EXPECT_EQ(hexdump::rowCountFor(256), 17);

    EXPECT_EQ(hexdump::bufferIndex(1, 1), 0);
    EXPECT_EQ(hexdump::bufferIndex(16, 1), 15);
    EXPECT_EQ(hexdump::bufferIndex(1, 2), 16);
    EXPECT_EQ(hexdump::bufferIndex(16, 512), 8191);
    EXPECT_EQ(hexdump::bufferIndex(3, 2), 18);
    EXPECT_EQ(hexdump::bufferIndex(17, 3), 48); // the ASCII column: first byte of the next row
}

struct KeyCase {
    const char* cell;
    char key;
    KeyVerdict verdict;
};

void PrintTo(const KeyCase& c, std::ostream* os) {
    *os << '"' << c.cell << "\" + key " << static_cast<int>(c.key);
}

class GridKeyFilter : public testing::TestWithParam<KeyCase> {};

TEST_P(GridKeyFilter, Verdict) {
    EXPECT_EQ(filterGridKey(GetParam().cell, GetParam().key), GetParam().verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, GridKeyFilter,
    testing::Values(
        KeyCase{"3F", 'A', KeyVerdict::Discard}, KeyCase{"3F", '0', KeyVerdict::Discard},
        KeyCase{"3F", kKeyBackspace, KeyVerdict::Pass}, KeyCase{"3F", kKeyEnter, KeyVerdict::Pass},
        KeyCase{"................", kKeyEnter, KeyVerdict::Pass},
        KeyCase{"", 'G', KeyVerdict::DiscardWithAlert},
        KeyCase{"", ' ', KeyVerdict::DiscardWithAlert},
        KeyCase{"A", 'x', KeyVerdict::DiscardWithAlert},
        KeyCase{"", kKeyEnter, KeyVerdict::DiscardWithAlert},
        KeyCase{"5", kKeyEnter, KeyVerdict::DiscardWithAlert},
        KeyCase{"", kKeyBackspace, KeyVerdict::Pass}, KeyCase{"", '0', KeyVerdict::Pass},
        KeyCase{"", '9', KeyVerdict::Pass}, KeyCase{"A", 'A', KeyVerdict::Pass},
        KeyCase{"", 'F', KeyVerdict::Pass}, KeyCase{"", 'a', KeyVerdict::Pass},
        KeyCase{"a", 'f', KeyVerdict::Pass}, KeyCase{"", 'g', KeyVerdict::DiscardWithAlert},
        KeyCase{"", '/', KeyVerdict::DiscardWithAlert},
        KeyCase{"", ':', KeyVerdict::DiscardWithAlert},
        KeyCase{"", '@', KeyVerdict::DiscardWithAlert}));

struct CommitCase {
    const char* text;
    std::uint8_t stored;
};

void PrintTo(const CommitCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class Commit : public testing::TestWithParam<CommitCase> {};

TEST_P(Commit, StoresLowByte) {
    ImageBuffer flash(8192);
    EXPECT_TRUE(commitCellText(&flash, 8192, 8191, GetParam().text));
    EXPECT_EQ(flash.read(8191), GetParam().stored);
    EXPECT_EQ(flash.read(8190), 0); // nothing beside it
}

INSTANTIATE_TEST_SUITE_P(Texts, Commit,
                         testing::Values(CommitCase{"a5", 0xA5}, CommitCase{"A5", 0xA5},
                                         CommitCase{"00", 0x00}, CommitCase{"1A5", 0xA5},
                                         CommitCase{"12345678", 0x78},
                                         CommitCase{"FFFFFFFF", 0xFF}));

TEST(Commit, StoresOnlyInsideTheImage) {
    ImageBuffer flash(4096);
    flash.erase(4096);
    EXPECT_THROW(commitCellText(&flash, 4096, 48, "................"), ConvertError);
    EXPECT_THROW(commitCellText(&flash, 4096, 0, "123456789"), ConvertError); // past 32 bits
    EXPECT_FALSE(commitCellText(&flash, 4096, 4096, "A5"));                   // past the size
    EXPECT_FALSE(commitCellText(&flash, 8192, 4096, "A5")); // size shown past the buffer
    EXPECT_FALSE(commitCellText(&flash, 4096, -1, "A5"));
    for (std::size_t i = 0; i < flash.size(); ++i)
        ASSERT_EQ(flash.bytes()[i], 0xFF) << i;
    EXPECT_FALSE(commitCellText(nullptr, 8192, 0, "A5"));
}

} // namespace
} // namespace kw
