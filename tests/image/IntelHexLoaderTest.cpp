#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "image/Errors.h"
#include "image/IntConv.h"
#include "image/IntelHexLoader.h"
#include "support/HexText.h"

namespace kw {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string data(unsigned address, const Bytes& bytes) {
    return hexRecord(address, bytes);
}

const std::string kEof = ":00000001FF\n";

Bytes pattern(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return bytes;
}

// An image as 16-byte records in ascending order.
std::string asRecords(const Bytes& image) {
    std::string text;
    for (std::size_t at = 0; at < image.size(); at += 16)
        text += data(static_cast<unsigned>(at), Bytes(image.begin() + static_cast<long>(at),
                                                      image.begin() + static_cast<long>(at + 16)));
    return text + kEof;
}

std::uint8_t at(const HexLoadResult& r, std::size_t index) {
    return r.image->bytes()[index];
}

// Every byte of the image except those listed reads as a fresh image over `flashSize` does.
void expectUntouchedExcept(const HexLoadResult& r, std::int64_t flashSize,
                           const std::vector<std::size_t>& written = {}) {
    ASSERT_EQ(r.image->size(), 65536u);
    for (std::size_t i = 0; i < r.image->size(); ++i) {
        if (std::find(written.begin(), written.end(), i) != written.end())
            continue;
        const std::uint8_t fresh = static_cast<std::int64_t>(i) < flashSize ? 0xFF : 0x00;
        if (at(r, i) != fresh) {
            ADD_FAILURE() << "byte " << i << " is " << int(at(r, i));
            return;
        }
    }
}

void expectConvertError(std::string_view text, const std::string& field,
                        std::int32_t flashSize = 8192) {
    try {
        decodeIntelHex(text, flashSize);
        ADD_FAILURE() << "no ConvertError for: " << text;
    } catch (const ConvertError& e) {
        // what() is a C string, so a NUL in the field ends the text there.
        const std::string message = "'0x" + field + "' is not a valid integer value";
        EXPECT_EQ(std::string(e.what()), std::string(message.c_str())) << "for: " << text;
    }
}

// Texts that hold no data byte to store: nothing but the erased image, no cut.
class HexNoDataTest : public ::testing::TestWithParam<std::string> {};

TEST_P(HexNoDataTest, GivesTheErasedImage) {
    for (std::int32_t flashSize : {4096, 8192}) {
        const auto r = decodeIntelHex(GetParam(), flashSize);
        EXPECT_FALSE(r.cut);
        EXPECT_EQ(r.base, 0u);
        expectUntouchedExcept(r, flashSize);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HexNoDataTest,
    ::testing::Values("", "\n", "\r\n\r\n\n\r", kEof,
                      ":020000040800F2\n:020000021000EC\n:0400000300001000E9\n"
                      ":0400000508000000EF\n" +
                          kEof,
                      // Count 0: neither the data nor the checksum is converted.
                      ":00000000ZZ\n", ":00100000\n",
                      // A non-zero type skips the line whatever else it holds.
                      ":ZZZZZZ01garbage\n", "       1\n", "xxxxxxxFF\n", ":10000001",
                      // Only a record at the flash base with no data.
                      ":00800000\n"));

TEST(HexLoaderTest, LastAddressOfAn8192ByteImageLoadsWithoutCut) {
    const auto r = decodeIntelHex(data(0x1FF0, pattern(16)), 8192);
    EXPECT_FALSE(r.cut);
    EXPECT_EQ(at(r, 0x1FF0), pattern(16)[0]);
    EXPECT_EQ(at(r, 0x1FFF), pattern(16)[15]);
    EXPECT_EQ(at(r, 0x2000), 0x00);
}

TEST(HexLoaderTest, ByteAtFlashSizeIsStoredAndCutsTheLoad) {
    const auto r = decodeIntelHex(data(0x1FFE, {0x11, 0x22, 0x33, 0x44}), 8192);
    EXPECT_TRUE(r.cut);
    EXPECT_EQ(at(r, 0x1FFE), 0x11);
    EXPECT_EQ(at(r, 0x1FFF), 0x22);
    EXPECT_EQ(at(r, 0x2000), 0x33); // the byte that triggered the cut stays
    EXPECT_EQ(at(r, 0x2001), 0x00); // and nothing after it is stored
}

TEST(HexLoaderTest, RecordsAt0x8000StopAtTheirFirstByte) {
    const auto r = decodeIntelHex(data(0x8000, {0xAA, 0xBB}) + data(0x0000, {0x01}), 8192);
    EXPECT_TRUE(r.cut);
    expectUntouchedExcept(r, 8192, {0x8000});
    EXPECT_EQ(at(r, 0x8000), 0xAA);
}

TEST(HexLoaderTest, SmallDeviceTakesTheFirst4096BytesOfALargerImage) {
    const Bytes image = pattern(8192);
    const auto r = decodeIntelHex(asRecords(image), 4096);
    EXPECT_TRUE(r.cut);
    for (std::size_t i = 0; i <= 4096; ++i)
        ASSERT_EQ(at(r, i), image[i]) << i;
    for (std::size_t i = 4097; i < 65536; ++i)
        ASSERT_EQ(at(r, i), 0x00) << i;
}

TEST(HexLoaderTest, FullImageRoundTrips) {
    const Bytes image = pattern(8192);
    const auto r = decodeIntelHex(asRecords(image), 8192);
    EXPECT_FALSE(r.cut);
    EXPECT_EQ(Bytes(r.image->bytes().begin(), r.image->bytes().begin() + 8192), image);
}

TEST(HexLoaderTest, RecordsAfterACutAreNotRead) {
    const auto r = decodeIntelHex(
        data(0x0000, {0x01}) + data(0x3000, {0x02}) + data(0x0010, {0x03}) + ":000G0000\n", 8192);
    EXPECT_TRUE(r.cut);
    expectUntouchedExcept(r, 8192, {0x0000, 0x3000});
}

TEST(HexLoaderTest, RecordTypesOtherThanDataChangeNothing) {
    const auto r =
        decodeIntelHex(data(0x0000, {0x01}) + kEof + ":020000040800F2\n" + ":020000021000EC\n" +
                           data(0x0010, {0x02}) + ":02000004FFFFFC\n" + data(0x0020, {0x03}),
                       8192);
    EXPECT_FALSE(r.cut);
    expectUntouchedExcept(r, 8192, {0x00, 0x10, 0x20});
    EXPECT_EQ(at(r, 0x00), 0x01);
    EXPECT_EQ(at(r, 0x10), 0x02); // after the end-of-file record
    EXPECT_EQ(at(r, 0x20), 0x03); // extended addresses do not move data
}

TEST(HexLoaderTest, ChecksumStartCharacterAndDigitCaseAreNotExamined) {
    const auto r = decodeIntelHex(":0200000012ABFF\n" // wrong checksum
                                  "X0200020034CD00\n" // other start characters
                                  " 02000400ef01\n"   // lower case, no checksum
                                  "\x01"
                                  "020006005a6B\n",
                                  8192);
    EXPECT_FALSE(r.cut);
    const Bytes expected{0x12, 0xAB, 0x34, 0xCD, 0xEF, 0x01, 0x5A, 0x6B};
    EXPECT_EQ(Bytes(r.image->bytes().begin(), r.image->bytes().begin() + 8), expected);
    expectUntouchedExcept(r, 8192, {0, 1, 2, 3, 4, 5, 6, 7});
}

TEST(HexLoaderTest, LaterRecordsWin) {
    const auto r = decodeIntelHex(data(0x0100, {0x11, 0x22, 0x33}) + data(0x0101, {0x99}), 8192);
    EXPECT_EQ(at(r, 0x100), 0x11);
    EXPECT_EQ(at(r, 0x101), 0x99);
    EXPECT_EQ(at(r, 0x102), 0x33);
}

TEST(HexLoaderTest, LinesEndAtLfCrLfOrLoneCrAndTheLastNeedsNoBreak) {
    const std::vector<std::string> lines{hexLine(0x0000, {0x01, 0x02}), hexLine(0x0100, {}, 4),
                                         hexLine(0x0010, {0x03}), hexLine(0x0020, {0x04})};
    for (const char* brk : {"\n", "\r\n", "\r", "\n\n", "\r\n\r\n", "\n\r"}) {
        for (const bool finalBreak : {true, false}) {
            std::string text;
            for (std::size_t i = 0; i < lines.size(); ++i)
                text += lines[i] + (i + 1 < lines.size() || finalBreak ? brk : "");
            SCOPED_TRACE(::testing::Message() << "text " << ::testing::PrintToString(text));
            const auto r = decodeIntelHex(text, 8192);
            EXPECT_FALSE(r.cut);
            expectUntouchedExcept(r, 8192, {0x00, 0x01, 0x10, 0x20});
            EXPECT_EQ(at(r, 0x00), 0x01);
            EXPECT_EQ(at(r, 0x01), 0x02);
            EXPECT_EQ(at(r, 0x10), 0x03);
            EXPECT_EQ(at(r, 0x20), 0x04);
        }
    }
}

TEST(HexLoaderTest, AFieldCutShortIsReadFromTheCharactersPresent) {
    // Count 3 with two data bytes: the checksum is the third byte.
    auto r = decodeIntelHex(":030000001122CC\n", 8192);
    EXPECT_EQ(at(r, 2), 0xCC);
    // A one-digit last byte, at the end of a line and at the end of the text.
    r = decodeIntelHex(":03000000AABBC\n:010010005", 8192);
    EXPECT_EQ(at(r, 2), 0x0C);
    EXPECT_EQ(at(r, 0x10), 0x05);
    // A type cut to one digit: "0" is a data record, here of count 0.
    r = decodeIntelHex(":0000120", 8192);
    EXPECT_FALSE(r.cut);
    // The text ends where the view ends, not where the storage behind it does.
    const std::string storage = ":0100000012";
    r = decodeIntelHex(std::string_view(storage).substr(0, 10), 8192);
    EXPECT_EQ(at(r, 0), 0x01);
}

struct BadLine {
    std::string text;
    std::string field; // the field text the error names, without "0x"
};

void PrintTo(const BadLine& c, std::ostream* os) {
    *os << "\"" << c.text << "\"";
}

class HexConvertErrorTest : public ::testing::TestWithParam<BadLine> {};

TEST_P(HexConvertErrorTest, FailsNamingTheField) {
    expectConvertError(GetParam().text, GetParam().field);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, HexConvertErrorTest,
    ::testing::Values(
        // Positions 8-9 fail whatever the rest of the line is.
        BadLine{":100000G0", "G0"}, BadLine{":100000 0AABB", " 0"}, BadLine{":1000000G", "0G"},
        BadLine{"ZZZZZZZ-1ZZ", "-1"}, BadLine{":000000", ""}, BadLine{":", ""}, BadLine{"   ", ""},
        // Count and address are both converted, even for a count of 0.
        BadLine{":0G000000", "0G"}, BadLine{":00G00000AA", "G000"}, BadLine{":0000x000", "00x0"},
        // Data bytes, and a field wholly beyond the end of its line.
        BadLine{":02000000AAG1", "G1"}, BadLine{":0400000011223\n", ""},
        BadLine{":10000000" + std::string(30, '0') + "+5FF", "+5"},
        BadLine{":10000000" + std::string(16, 'A') + "\n" + std::string(16, 'A'), ""},
        // A failure after good records and records beyond other breaks still fails.
        BadLine{":0100000011\r\n:0101000011\r\n:01010000X1\r\n", "X1"}));

TEST(HexLoaderTest, CountZeroDoesNotConvertDataButAddressStillCounts) {
    EXPECT_NO_THROW(decodeIntelHex(":00000000GG\n", 8192));
    expectConvertError(":000G0000GG\n", "0G00");
}

TEST(HexLoaderTest, ACutEndsTheRecordBeforeItsNextFieldIsRead) {
    const auto r = decodeIntelHex(":0200010011ZZ\n", 1);
    EXPECT_TRUE(r.cut);
    EXPECT_EQ(at(r, 1), 0x11);
    expectConvertError(":0200000011ZZ\n", "ZZ", 2);
}

// The field conversion must agree with "0x" + field through the one integer conversion,
// for every character, both in records that fit the flash and in records that cut it.
class HexFieldCharacterTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(HexFieldCharacterTest, DataFieldsAgreeWithTheIntegerConversion) {
    const std::int32_t flashSize = GetParam();
    for (int c = 0; c < 256; ++c) {
        if (c == '\n' || c == '\r')
            continue;
        const char ch = static_cast<char>(c);
        for (const std::string& field : {std::string{ch, '5'}, std::string{'5', ch}}) {
            const std::string text = ":01000000" + field + "FF\n";
            const auto expected = tryStrToInt("0x" + field);
            if (expected) {
                const auto r = decodeIntelHex(text, flashSize);
                ASSERT_EQ(at(r, 0), *expected & 0xFF) << "char " << c;
            } else {
                expectConvertError(text, field, flashSize);
            }
        }
    }
}

TEST_P(HexFieldCharacterTest, TypeFieldAgreesWithTheIntegerConversion) {
    for (int c = 0; c < 256; ++c) {
        if (c == '\n' || c == '\r')
            continue;
        const std::string field{'0', static_cast<char>(c)};
        // A data record of one byte if the type reads 0, skipped if it reads non-zero.
        const std::string text = ":010000" + field + "7E";
        const auto expected = tryStrToInt("0x" + field);
        if (!expected) {
            expectConvertError(text, field, GetParam());
            continue;
        }
        const auto r = decodeIntelHex(text, GetParam());
        ASSERT_EQ(at(r, 0), *expected == 0 ? 0x7E : (GetParam() > 0 ? 0xFF : 0x00)) << "char " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(FlashSizes, HexFieldCharacterTest, ::testing::Values(0, 8192));

// Flash sizes outside the two devices' must never reach outside the 65536-byte buffer.
struct SizeCase {
    std::int32_t flashSize;
    std::string text;
    bool cut;
    std::vector<std::size_t> written;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << "flash size " << c.flashSize;
}

class HexFlashSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(HexFlashSizeTest, StaysInsideTheBuffer) {
    const auto& c = GetParam();
    const auto r = decodeIntelHex(c.text, c.flashSize);
    EXPECT_EQ(r.cut, c.cut);
    expectUntouchedExcept(r, c.flashSize, c.written);
    for (auto i : c.written)
        EXPECT_EQ(at(r, i), 0x5A) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, HexFlashSizeTest,
    ::testing::Values(SizeCase{0, data(0x0010, {0x5A, 0x5A}), true, {0x10}},
                      SizeCase{-100, data(0x0000, {0x5A}), true, {0}},
                      SizeCase{65536, data(0xFFFE, {0x5A, 0x5A}), false, {0xFFFE, 0xFFFF}},
                      SizeCase{65536, data(0xFFFF, {0x5A, 0x5A, 0x5A}), true, {0xFFFF}},
                      SizeCase{
                          100000, data(0xFFFF, {0x5A, 0x5A}) + data(0, {0x5A}), true, {0xFFFF}},
                      SizeCase{65535, data(0xFFFE, {0x5A, 0x5A, 0x5A}), true, {0xFFFE, 0xFFFF}}));

// Toolchains write flash at its base address, 0x8000. A text whose data records all lie there
// or above reads relative to the base; any data record below it keeps the plain reading.
struct BaseCase {
    std::string name;
    std::string text;
    std::int32_t flashSize;
    std::vector<std::pair<std::size_t, std::uint8_t>> stored; // image index and value
    bool cut;
    std::uint32_t base;
    std::string error; // the field a conversion error names; empty when the load succeeds
};

void PrintTo(const BaseCase& c, std::ostream* os) {
    *os << c.name;
}

class HexBaseTest : public ::testing::TestWithParam<BaseCase> {};

TEST_P(HexBaseTest, ReadsRelativeToTheFlashBaseOnlyWhenNoDataLiesBelowIt) {
    const BaseCase& c = GetParam();
    if (!c.error.empty()) {
        expectConvertError(c.text, c.error, c.flashSize);
        return;
    }
    const auto r = decodeIntelHex(c.text, c.flashSize);
    EXPECT_EQ(r.cut, c.cut);
    EXPECT_EQ(r.base, c.base);
    std::vector<std::size_t> written;
    for (const auto& [index, value] : c.stored) {
        EXPECT_EQ(at(r, index), value) << "index " << index;
        written.push_back(index);
    }
    expectUntouchedExcept(r, c.flashSize, written);
}

constexpr std::uint32_t kBase = 0x8000;
const std::string kBadData = ":01800100G1\n";

INSTANTIATE_TEST_SUITE_P(
    Files, HexBaseTest,
    ::testing::Values(
        BaseCase{"records in any order from the base",
                 data(0x8010, {0x01}) + data(0x8000, {0x02, 0x03}) + kEof,
                 8192,
                 {{0x10, 0x01}, {0x00, 0x02}, {0x01, 0x03}},
                 false,
                 kBase,
                 ""},
        BaseCase{"the last byte of flash from the base",
                 data(0x9FFF, {0x01}),
                 8192,
                 {{0x1FFF, 0x01}},
                 false,
                 kBase,
                 ""},
        BaseCase{"running past the end of flash from the base",
                 data(0x9FFE, {0x01, 0x02, 0x03, 0x04}) + data(0x8000, {0x05}),
                 8192,
                 {{0x1FFE, 0x01}, {0x1FFF, 0x02}, {0x2000, 0x03}},
                 true,
                 kBase,
                 ""},
        BaseCase{"the small chip cut at 4096 bytes from the base",
                 data(0x8FFF, {0x01, 0x02}),
                 4096,
                 {{0x0FFF, 0x01}, {0x1000, 0x02}},
                 true,
                 kBase,
                 ""},
        BaseCase{"records at the top of the address space",
                 data(0xFFF0, {0x01, 0x02}),
                 8192,
                 {{0x7FF0, 0x01}},
                 true,
                 kBase,
                 ""},
        BaseCase{"a data record below the base last",
                 data(0x8000, {0xAA, 0xBB}) + data(0x0000, {0x01}),
                 8192,
                 {{0x8000, 0xAA}},
                 true,
                 0,
                 ""},
        BaseCase{"a data record below the base first",
                 data(0x0000, {0x01}) + data(0x8000, {0xAA, 0xBB}),
                 8192,
                 {{0x0000, 0x01}, {0x8000, 0xAA}},
                 true,
                 0,
                 ""},
        BaseCase{"records without data below the base do not count",
                 ":00000000\n:020000040000FA\n" + hexRecord(0x0000, {0x01}, 5) +
                     data(0x8000, {0x01}),
                 8192,
                 {{0x0000, 0x01}},
                 false,
                 kBase,
                 ""},
        BaseCase{"bad lines after a cut from the base",
                 data(0x9FFF, {0x01, 0x02}) + kBadData + ":01 00000011\n",
                 8192,
                 {{0x1FFF, 0x01}, {0x2000, 0x02}},
                 true,
                 kBase,
                 ""},
        BaseCase{"a data record below the base after a cut and bad lines",
                 data(0x9FFF, {0x01, 0x02}) + kBadData + data(0x0010, {0x05}),
                 8192,
                 {{0x9FFF, 0x01}},
                 true,
                 0,
                 ""},
        BaseCase{"an error with every data record at the base or above",
                 data(0x8000, {0x01}) + kBadData + data(0x8002, {0x01}),
                 8192,
                 {},
                 false,
                 0,
                 "G1"},
        BaseCase{"an error and a data record below the base after it",
                 data(0x8000, {0x01}) + kBadData + data(0x0000, {0x02}),
                 8192,
                 {{0x8000, 0x01}},
                 true,
                 0,
                 ""},
        BaseCase{"an error in the first byte stored, a data record below the base after it",
                 kBadData + data(0x0000, {0x02}),
                 8192,
                 {},
                 false,
                 0,
                 "G1"},
        BaseCase{"flash larger than the base",
                 data(0x8000, {0x01}),
                 65536,
                 {{0x8000, 0x01}},
                 false,
                 0,
                 ""}),
    [](const ::testing::TestParamInfo<BaseCase>& info) {
        std::string name;
        for (char c : info.param.name)
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

// EEPROM (0x4000) and option bytes (0x4800) beside flash read from the base are not flash.
Bytes areaBytes(const HexArea& area) {
    Bytes bytes;
    for (std::uint32_t a = area.base(); a < area.end(); ++a)
        if (area.defined(a))
            bytes.push_back(area.value(a));
    return bytes;
}

TEST(HexAreaTest, EepromAndOptionRecordsBesideFlashFromTheBaseAreKeptApart) {
    const std::string flash = data(0x8000, {0x82, 0x00}) + data(0x9FFF, {0x7E});
    // The second record runs from the last EEPROM byte into the option bytes.
    const std::string text =
        data(0x4000, {1, 2, 3, 4}) + flash + data(0x47FF, {5, 6, 7}) + data(0x48FF, {8}) + kEof;
    for (const HexChecks checks : {HexChecks::Lenient, HexChecks::Strict}) {
        const auto r = decodeIntelHex(text, 8192, checks);
        const auto plain = decodeIntelHex(flash + kEof, 8192);
        EXPECT_FALSE(r.cut);
        EXPECT_TRUE(r.hasData);
        EXPECT_EQ(r.base, kBase);
        EXPECT_TRUE(std::equal(r.image->bytes().begin(), r.image->bytes().end(),
                               plain.image->bytes().begin()));
        EXPECT_EQ(areaBytes(r.eeprom), (Bytes{1, 2, 3, 4, 5}));
        EXPECT_EQ(r.eeprom.first(), 0x4000u);
        EXPECT_EQ(r.eeprom.last(), 0x47FFu);
        EXPECT_EQ(r.eeprom.value(0x4004), 0xFF);
        EXPECT_EQ(areaBytes(r.options), (Bytes{6, 7, 8}));
        EXPECT_EQ(r.options.first(), 0x4800u);
        EXPECT_EQ(r.options.last(), 0x48FFu);
    }

    // A file of EEPROM data only: the flash stays erased and holds no data.
    const auto only = decodeIntelHex(data(0x4010, {0xAB}) + kEof, 4096);
    EXPECT_FALSE(only.cut);
    EXPECT_FALSE(only.hasData);
    EXPECT_EQ(only.eeprom.count(), 1u);
    EXPECT_EQ(only.eeprom.value(0x4010), 0xAB);
    expectUntouchedExcept(only, 4096);

    // A cut in flash leaves the base alone: an EEPROM record after it is not flash below it.
    const auto cut = decodeIntelHex(data(0x8FFF, {1, 2}) + data(0x4000, {3}) + kEof, 4096);
    EXPECT_TRUE(cut.cut);
    EXPECT_EQ(cut.base, kBase);
    EXPECT_EQ(at(cut, 0x1000), 2);
}

// Any flash record below 0x8000 (one that reaches past the option bytes included) keeps the
// plain reading: every record is flash and the first at 0x4000 is far past the chip's end.
TEST(HexAreaTest, AFlashRecordBelowTheBaseMakesEveryRecordFlash) {
    // Each text and the index where its first area byte, 1, lands in the image.
    const std::vector<std::pair<std::string, std::size_t>> texts = {
        {data(0x4000, {1, 2}) + data(0x8000, {3}) + data(0x0010, {9}) + kEof, 0x4000},
        {data(0x0010, {9}) + data(0x4000, {1, 2}) + data(0x8000, {3}) + kEof, 0x4000},
        {data(0x4000, {1, 2}) + data(0x48FF, {4, 5}) + kEof, 0x4000},
        {data(0x3FFF, {1, 2}) + kEof, 0x3FFF},
    };
    for (const auto& [text, index] : texts) {
        const auto r = decodeIntelHex(text, 8192);
        EXPECT_TRUE(r.cut) << text;
        EXPECT_EQ(r.base, 0u) << text;
        EXPECT_EQ(r.eeprom.count() + r.options.count(), 0u) << text;
        EXPECT_EQ(at(r, index), 1) << text;
        expectUntouchedExcept(r, 8192, {index, 0x10});
    }
}

// What a programmer sends rests on this mask: a byte the file gives 0xFF is defined, a gap is
// not, and EEPROM or option records read from the flash base are never flash.
TEST(HexAreaTest, StrictReadingMarksTheFlashBytesTheFileDefines) {
    const std::string text = hexRecord(0x8000, {0xFF, 0x01}) + hexRecord(0x8100, {0x02}) +
                             hexRecord(0x4000, {0x03}) + hexRecord(0x4801, {0x00}) + hexEndOfFile();
    const HexLoadResult fromBase = decodeIntelHex(text, 8192, HexChecks::Strict);
    ASSERT_EQ(fromBase.base, kHexFlashBase);
    ASSERT_EQ(fromBase.defined.size(), fromBase.image->size());
    std::vector<std::size_t> marked;
    for (std::size_t i = 0; i < fromBase.defined.size(); ++i)
        if (fromBase.defined[i])
            marked.push_back(i);
    EXPECT_EQ(marked, (std::vector<std::size_t>{0, 1, 0x100}));

    // With a record below the base, addresses are offsets.
    const HexLoadResult fromZero =
        decodeIntelHex(hexRecord(0x0010, {1}) + hexRecord(0x0020, {2, 3}), 8192, HexChecks::Strict);
    ASSERT_EQ(fromZero.base, 0u);
    EXPECT_TRUE(fromZero.defined[0x10] && fromZero.defined[0x21]);
    EXPECT_FALSE(fromZero.defined[0x11] || fromZero.defined[0]);
    EXPECT_TRUE(decodeIntelHex(text, 8192).defined.empty()) << "the window's reading has no mask";
}

} // namespace
} // namespace kw
