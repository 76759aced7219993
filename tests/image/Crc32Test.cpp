// The image checksum must equal what the technician's own tools compute.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/Crc32.h"
#include "image/TempDir.h"

namespace kw {
namespace {

std::span<const std::uint8_t> bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Crc32Test, IsZlibsCrc32) {
    EXPECT_EQ(crc32(bytes("")), 0u);
    EXPECT_EQ(crc32(bytes("123456789")), 0xCBF43926u); // the check value of CRC-32/ISO-HDLC
    EXPECT_EQ(crc32(bytes("6789"), crc32(bytes("12345"))), 0xCBF43926u);

    // An erased 8 KB flash with a program at its start, against Python's zlib.
    std::vector<std::uint8_t> image(8192, 0xFF);
    for (std::size_t i = 0; i < 112; ++i)
        image[i] = static_cast<std::uint8_t>(i * 37 + 11);
    test::TempDir dir;
    const auto file =
        dir.write("image.bin", {reinterpret_cast<const char*>(image.data()), image.size()});
    const std::string command =
        "python3 -c 'import sys, zlib; print(zlib.crc32(open(sys.argv[1], \"rb\").read()))' " +
        file.string() + " 2>/dev/null";
    std::FILE* python = ::popen(command.c_str(), "r");
    ASSERT_NE(python, nullptr);
    unsigned long long expected = 0;
    const int got = std::fscanf(python, "%llu", &expected);
    const int status = ::pclose(python);
    if (got != 1 || status != 0)
        GTEST_SKIP() << "python3 with zlib is not installed";
    EXPECT_EQ(crc32(image), expected);
}

} // namespace
} // namespace kw
