#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TempDir.h"
#include "image/BinaryLoader.h"
#include "image/Errors.h"
#include "image/FileReader.h"
#include "image/IntelHexLoader.h"

namespace kw {
namespace {

std::string bytePattern(std::size_t length) {
    std::string content(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        content[i] = static_cast<char>((i * 13 + 5) & 0xFF);
    return content;
}

template <typename F> std::string ioErrorOf(F&& f) {
    try {
        f();
    } catch (const IoError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no IoError";
    return {};
}

TEST(FileReaderTest, ReadsEveryByteUntranslated) {
    const test::TempDir dir;
    std::string content = bytePattern(300000);
    content += "\r\n\0\x1A\r"; // no text-mode translation, no end at NUL or Ctrl-Z
    content.push_back('\0');
    EXPECT_EQ(readWholeFile(dir.write("a.bin", content)), content);
    EXPECT_EQ(readWholeFile(dir.write("empty", "")), "");
}

TEST(FileReaderTest, FailuresNameTheFileAndTheReason) {
    const test::TempDir dir;
    const auto missing = dir.path() / "missing.hex";
    EXPECT_EQ(ioErrorOf([&] { readWholeFile(missing); }),
              "Cannot open file \"" + missing.string() + "\": No such file or directory");
    EXPECT_EQ(ioErrorOf([&] { loadIntelHexFile(missing, 8192); }),
              "Cannot open file \"" + missing.string() + "\": No such file or directory");
    // A folder opens on some systems but cannot be read.
    EXPECT_NE(ioErrorOf([&] { readWholeFile(dir.path()); }).find(dir.path().string()),
              std::string::npos);
}

TEST(HexFileTest, LoadsAFileFromDisk) {
    const test::TempDir dir;
    const auto r =
        loadIntelHexFile(dir.write("a.hex", ":0300100001027F6B\r\n:00000001FF\r\n"), 4096);
    EXPECT_FALSE(r.cut);
    EXPECT_EQ(r.image->bytes()[0x10], 0x01);
    EXPECT_EQ(r.image->bytes()[0x12], 0x7F);
    EXPECT_EQ(r.image->bytes()[0x13], 0xFF);
    EXPECT_EQ(r.image->bytes()[4096], 0x00);
}

struct BinCase {
    std::size_t fileLength;
    std::int32_t size;
};

void PrintTo(const BinCase& c, std::ostream* os) {
    *os << c.fileLength << " bytes into " << c.size;
}

class BinaryLoaderTest : public ::testing::TestWithParam<BinCase> {};

TEST_P(BinaryLoaderTest, TakesTheFilesFirstBytesAndLeavesTheRestErased) {
    const auto [fileLength, size] = GetParam();
    const test::TempDir dir;
    const std::string content = bytePattern(fileLength);
    const auto image = loadBinaryImageFile(dir.write("image.bin", content), size);
    ASSERT_EQ(image->size(), static_cast<std::size_t>(std::max(size, 0)));
    for (std::size_t i = 0; i < image->size(); ++i) {
        const std::uint8_t expected =
            i < fileLength ? static_cast<std::uint8_t>(content[i]) : std::uint8_t{0xFF};
        ASSERT_EQ(image->bytes()[i], expected) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, BinaryLoaderTest,
                         ::testing::Values(BinCase{0, 8192}, BinCase{100, 8192},
                                           BinCase{8192, 8192}, BinCase{8193, 8192},
                                           BinCase{8192, 4096}, BinCase{10, 256}, BinCase{256, 256},
                                           BinCase{100, 0}, BinCase{100, -1}));

TEST(BinaryLoaderTest, HexTextIsTakenAsRawBytes) {
    const test::TempDir dir;
    const auto image = loadBinaryImageFile(dir.write("e.hex", ":00000001FF\r\n"), 256);
    EXPECT_EQ(image->bytes()[0], 0x3A);
    EXPECT_EQ(image->bytes()[12], '\n');
    EXPECT_EQ(image->bytes()[13], 0xFF);
}

TEST(BinaryLoaderTest, AFileThatCannotBeReadGivesNoImage) {
    const test::TempDir dir;
    const auto missing = dir.path() / "gone.bin";
    EXPECT_EQ(ioErrorOf([&] { loadBinaryImageFile(missing, 8192); }),
              "Cannot open file \"" + missing.string() + "\": No such file or directory");
    EXPECT_NE(ioErrorOf([&] { loadBinaryImageFile(dir.path(), 8192); }).find("Cannot"),
              std::string::npos);
}

} // namespace
} // namespace kw
