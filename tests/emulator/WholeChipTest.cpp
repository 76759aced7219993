// EEPROM, option bytes, read-out protection and the chip sizes, seen through SWIM as a
// programmer library sees them.
#include "SwimClient.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include <stdlib.h>

namespace {

constexpr std::uint32_t kIapsr = 0x505F, kRstSr = 0x50B3;
constexpr std::uint8_t kEop = 0x04, kWrPgDis = 0x01, kEmcf = 0x10;
constexpr std::uint8_t kBadState = 0x05;

using Bytes = std::vector<std::uint8_t>;

// One option byte in byte mode, as every peer writes it.
std::uint8_t writeOption(SwimClient& c, std::uint32_t address, std::uint8_t value) {
    c.write(0x505B, {0x80, 0x7F});
    c.write(address, {value});
    return c.waitFlash();
}

TEST(EmulatedEeprom, NeedsTheDataKeysAndTakesBytesWordsAndBlocks) {
    SwimClient c;
    c.connect();
    c.unlockFlash(); // the program memory key opens flash only
    c.write(0x4000, {0x5A});
    EXPECT_EQ(c.waitFlash(5) & kEop, 0) << "EEPROM locked: nothing programs";
    EXPECT_EQ(c.probe.peek(0x4000, 1), Bytes{0x00});

    c.unlockData();
    c.write(0x4000, {0x5A});
    EXPECT_NE(c.waitFlash() & kEop, 0) << "byte programming";
    c.write(0x505B, {0x40, 0xBF});
    c.write(0x4004, {1, 2, 3, 4});
    EXPECT_NE(c.waitFlash() & kEop, 0) << "word programming";
    EXPECT_NE(c.programBlock(0x4240, pattern(64, 4)) & kEop, 0) << "block in the last 64 bytes";
    EXPECT_EQ(c.read(0x4000, 8), (Bytes{0x5A, 0, 0, 0, 1, 2, 3, 4}));
    EXPECT_EQ(c.read(0x4240, 64), pattern(64, 4));
    EXPECT_EQ(c.probe.statistics().eepromOperations, 3);
    EXPECT_EQ(c.probe.statistics().blockProgrammings, 0) << "flash counts only flash";

    // Two bytes in byte mode: the second meets the first one programming.
    EXPECT_EQ(c.write(0x4010, {0x11, 0x22}), kBadState);
    EXPECT_NE(c.waitFlash() & kEop, 0);
    EXPECT_EQ(c.read(0x4010, 2), (Bytes{0x11, 0x00}));
}

TEST(EmulatedOptionBytes, NeedOptWithItsComplementAndTakeOneByteAtATime) {
    SwimClient c;
    c.connect();
    c.unlockData();
    c.write(0x4801, {0x05});
    EXPECT_EQ(c.waitFlash(5) & kEop, 0) << "without OPT option bytes ignore writes";
    c.write(0x505B, {0x80}); // NCR2 still 0xFF: OPT does not count
    c.write(0x4801, {0x05});
    EXPECT_EQ(c.waitFlash(5) & kEop, 0);
    EXPECT_EQ(c.probe.peek(0x4801, 2), (Bytes{0x00, 0xFF}));

    c.write(0x505B, {0x80, 0x7F});
    EXPECT_EQ(c.write(0x4801, {0x05, 0xFA}), kBadState) << "a pair is two operations";
    EXPECT_NE(c.waitFlash() & kEop, 0);
    EXPECT_EQ(c.probe.peek(0x4801, 2), (Bytes{0x05, 0xFF}));
    EXPECT_NE(writeOption(c, 0x4802, 0xFA) & kEop, 0);
    EXPECT_EQ(c.probe.statistics().optionOperations, 2);

    // UBC takes effect at the next reset: five 64-byte blocks from 0x8000.
    c.unlockFlash();
    EXPECT_NE(c.programBlock(0x8100, pattern(64, 1)) & kEop, 0) << "not yet protected";
    c.resetChip();
    c.unlockFlash();
    EXPECT_EQ(c.programBlock(0x8100, pattern(64, 2)) & (kEop | kWrPgDis), kWrPgDis);
    EXPECT_NE(c.programBlock(0x8140, pattern(64, 2)) & kEop, 0);
    EXPECT_EQ(c.read(0x8100, 64), pattern(64, 1));

    // A wrong data key locks EEPROM and option bytes until reset.
    c.write(kIapsr, {0x00});
    c.write(0x5064, {0x56});
    c.unlockData();
    EXPECT_EQ(writeOption(c, 0x4801, 0x00) & kEop, 0);
    EXPECT_EQ(c.probe.peek(0x4801, 1), Bytes{0x05});
}

TEST(EmulatedOptionBytes, MismatchedComplementKeepsTheChipInResetUntilMended) {
    SwimClient c;
    c.connect(); // SWIM_DM: a healthy chip halts at the reset vector
    c.unlockData();
    EXPECT_NE(writeOption(c, 0x4801, 0x03) & kEop, 0); // NUBC left at 0xFF
    c.resetChip();
    const auto broken = c.probe.statistics();
    EXPECT_TRUE(broken.optionByteError);
    EXPECT_FALSE(broken.cpuRunning);
    EXPECT_EQ(c.readByte(0x7F99) & 0x08, 0) << "never reaches the reset vector to stall there";
    EXPECT_EQ(c.readByte(kRstSr), kEmcf);
    c.unlockFlash();
    EXPECT_NE(c.programBlock(0x8000, pattern(64, 3)) & kEop, 0)
        << "a mismatched UBC counts as its factory value: nothing protected";

    c.write(kRstSr, {kEmcf});
    EXPECT_EQ(c.readByte(kRstSr), 0) << "EMCF clears when written 1";
    c.unlockData();
    EXPECT_NE(writeOption(c, 0x4802, 0xFC) & kEop, 0);
    c.resetChip();
    EXPECT_FALSE(c.probe.statistics().optionByteError);
    EXPECT_NE(c.readByte(0x7F99) & 0x08, 0) << "halted at the reset vector again";
    EXPECT_EQ(c.readByte(kRstSr), 0);
    c.unlockFlash();
    EXPECT_EQ(c.programBlock(0x8080, pattern(64, 3)) & (kEop | kWrPgDis), kWrPgDis);

    // Any pair counts, not only UBC.
    c.unlockData();
    EXPECT_NE(writeOption(c, 0x480A, 0x12) & kEop, 0);
    c.resetChip();
    EXPECT_TRUE(c.probe.statistics().optionByteError);
}

TEST(EmulatedReadoutProtection, GuardsEepromTooAndItsRemovalKeepsTheOtherOptions) {
    auto options = SwimClient::instant();
    options.faults.readoutProtected = true;
    options.faults.ubcBlocks = 2;
    SwimClient c(options);
    c.probe.poke(0x4000, {0x12, 0x34});
    c.probe.poke(0x427F, {0x56});
    c.probe.poke(0x9FFF, {0x78});
    c.connect();
    EXPECT_EQ(c.read(0x4000, 2), (Bytes{0x71, 0x71}));
    c.unlockData();
    c.write(0x4100, {0x99});
    EXPECT_EQ(c.waitFlash() & (kEop | kWrPgDis), kWrPgDis) << "EEPROM write refused";

    EXPECT_NE(writeOption(c, 0x4800, 0x00) & kEop, 0);
    EXPECT_EQ(c.probe.peek(0x4000, 2), (Bytes{0, 0}));
    EXPECT_EQ(c.probe.peek(0x427F, 1), Bytes{0});
    EXPECT_EQ(c.probe.peek(0x9FFF, 1), Bytes{0});
    EXPECT_EQ(c.probe.peek(0x4800, 3), (Bytes{0x00, 0x02, 0xFD})) << "UBC kept";
    EXPECT_NE(writeOption(c, 0x4800, 0x00) & kEop, 0) << "writing it again changes nothing";
    c.resetChip();
    EXPECT_EQ(c.read(0x4000, 2), (Bytes{0, 0})) << "readable after the reset";
    EXPECT_FALSE(c.probe.statistics().optionByteError);
}

TEST(EmulatedChips, EachHasItsOwnEepromAndFlash) {
    const auto chipWith = [](kw::emu::ChipVariant variant) {
        auto options = SwimClient::instant();
        options.chip = variant;
        return options;
    };
    {
        SwimClient c(chipWith(kw::emu::ChipVariant::Stm8s003f3));
        c.connect();
        c.unlockData();
        EXPECT_NE(c.programBlock(0x4040, pattern(64, 6)) & kEop, 0) << "its last EEPROM block";
        EXPECT_EQ(c.probe.peek(0x4040, 64), pattern(64, 6));
        // Past 128 bytes EEPROM is unmapped: writes vanish, no operation starts, reads give 0.
        EXPECT_EQ(c.programBlock(0x4080, pattern(64, 6)) & (kEop | kWrPgDis), 0);
        EXPECT_EQ(c.write(0x427F, {0x42}), 0x00);
        EXPECT_EQ(c.read(0x4080, 4), Bytes(4, 0));
        EXPECT_EQ(c.readByte(0x427F), 0);
        EXPECT_EQ(c.probe.statistics().eepromOperations, 1);
        c.unlockFlash();
        EXPECT_NE(c.programBlock(0x9FC0, pattern(64, 7)) & kEop, 0) << "8 KB of flash";
        EXPECT_EQ(c.read(0x9FC0, 64), pattern(64, 7));
    }
    for (const auto variant :
         {kw::emu::ChipVariant::Stm8s903k3, kw::emu::ChipVariant::Stm8s903f3}) {
        SwimClient c(chipWith(variant));
        c.connect();
        c.unlockData();
        c.write(0x427F, {0x42});
        EXPECT_NE(c.waitFlash() & kEop, 0);
        EXPECT_EQ(c.readByte(0x427F), 0x42) << "640 bytes of EEPROM";
    }
    SwimClient s001(chipWith(kw::emu::ChipVariant::Stm8s001j3));
    s001.connect();
    s001.unlockData();
    s001.write(0x4080, {0x42});
    EXPECT_EQ(s001.waitFlash(5) & kEop, 0);
    EXPECT_EQ(s001.readByte(0x4080), 0);
}

TEST(EmulatedChips, ComeFromTheEnvironmentByMarkingPerProbe) {
    ::setenv("KW_EMU_CHIP", "stm8s003f3", 1);
    ::setenv("KW_EMU_PROBES", "3", 1);
    ::setenv("KW_EMU_CHIP_2", "STM8S001J3", 1);
    ::setenv("KW_EMU_CHIP_3", "STM8SF103F2", 1); // the window's spelling
    const auto bus = kw::emu::busFromEnvironment();
    ASSERT_EQ(bus.size(), 3U);
    EXPECT_EQ(bus[0].options.chip, kw::emu::ChipVariant::Stm8s003f3);
    EXPECT_EQ(bus[1].options.chip, kw::emu::ChipVariant::Stm8s001j3);
    EXPECT_EQ(bus[2].options.chip, kw::emu::ChipVariant::Stm8s103f2);
    for (const kw::Chip* chip : kw::kChips)
        EXPECT_EQ(&kw::emu::chipOf(kw::emu::variantOf(*chip).value()), chip) << chip->name;

    ::setenv("KW_EMU_CHIP_2", "STM8S105C6", 1);
    EXPECT_THROW(kw::emu::busFromEnvironment(), std::invalid_argument);
    ::setenv("KW_EMU_CHIP", "", 1);
    EXPECT_THROW(kw::emu::optionsFromEnvironment(), std::invalid_argument);
    for (const char* name : {"KW_EMU_CHIP", "KW_EMU_PROBES", "KW_EMU_CHIP_2", "KW_EMU_CHIP_3"})
        ::unsetenv(name);
    EXPECT_EQ(kw::emu::optionsFromEnvironment().chip, kw::emu::ChipVariant::Stm8s103f3);
}

} // namespace
