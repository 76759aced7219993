// Intel HEX written by a real STM8 toolchain loads as the program it holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "TempDir.h"
#include "image/IntelHexLoader.h"
#include "support/Stm8Tools.h"

namespace kw {
namespace {

TEST(Stm8ToolchainTest, SdccOutputLoadsFromTheFlashBase) {
    const test::TempDir dir;
    const auto ihx = test::compileStm8Program(dir.path());
    const std::vector<std::uint8_t> expected = test::srecBinary(ihx, kHexFlashBase, 8192);
    ASSERT_EQ(expected.size(), 8192u);

    const HexLoadResult r = loadIntelHexFile(ihx, 8192);
    EXPECT_FALSE(r.cut);
    EXPECT_EQ(r.base, kHexFlashBase);
    EXPECT_EQ(std::vector<std::uint8_t>(r.image->bytes().begin(), r.image->bytes().begin() + 8192),
              expected);
    // The reset vector, an INT instruction, opens the image.
    EXPECT_EQ(r.image->bytes()[0], 0x82);
}

} // namespace
} // namespace kw
