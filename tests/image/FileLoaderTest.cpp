#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "image/BinaryLoader.h"
#include "image/Errors.h"
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

TEST(FileReaderTest, FailuresNameTheFileAndTheReason) {
    const test::TempDir dir;
    const auto missing = dir.path() / "missing.hex";
    const std::string noSuchFile =
        "Cannot open file \"" + missing.string() + "\": No such file or directory";
    EXPECT_EQ(ioErrorOf([&] { loadIntelHexFile(missing, 8192); }), noSuchFile);
    EXPECT_EQ(ioErrorOf([&] { loadBinaryImageFile(missing, 8192); }), noSuchFile);
}

// Only regular files are read: a named pipe without a writer would block the load for ever,
// and /dev/zero would fill memory. Both loaders refuse at once, naming the file.
TEST(FileReaderTest, OnlyRegularFilesAreRead) {
    const test::TempDir dir;
    const auto fifo = dir.path() / "pipe.hex";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto linkToFifo = dir.path() / "link.hex";
    std::filesystem::create_symlink(fifo, linkToFifo);
    const std::vector<std::pair<std::filesystem::path, std::string>> cases{
        {fifo, "a named pipe"},
        {linkToFifo, "a named pipe"},
        {"/dev/zero", "a character device"},
        {dir.path(), "a folder"}};
    for (const auto& [path, kind] : cases) {
        const std::filesystem::path file = path; // a lambda may not capture a structured binding
        const std::string expected =
            "Cannot open file \"" + file.string() + "\": it is " + kind + ", not a regular file";
        EXPECT_EQ(ioErrorOf([&] { loadIntelHexFile(file, 8192); }), expected);
        EXPECT_EQ(ioErrorOf([&] { loadBinaryImageFile(file, 256); }), expected);
    }
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

} // namespace
} // namespace kw
