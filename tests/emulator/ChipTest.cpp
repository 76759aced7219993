// The emulated STM8S103's flash controller, seen through SWIM as a programmer library sees it.
#include "SwimClient.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr std::uint32_t kIapsr = 0x505F;
constexpr std::uint8_t kEop = 0x04, kWrPgDis = 0x01, kPul = 0x02, kDul = 0x08, kHvoff = 0x40;

TEST(EmulatedChip, KeysUnlockOnlyInOrderAndAWrongKeyLocksUntilReset) {
    SwimClient c;
    c.connect();
    c.write(0x5062, {0xAE}); // second key first
    c.unlockFlash();
    EXPECT_EQ(c.readByte(kIapsr) & kPul, 0) << "a wrong key must lock until reset";

    c.resetChip();
    c.unlockFlash();
    EXPECT_NE(c.readByte(kIapsr) & kPul, 0);
    c.write(kIapsr, {0x00});
    EXPECT_EQ(c.readByte(kIapsr) & kPul, 0) << "clearing PUL relocks";
    c.unlockFlash();
    EXPECT_NE(c.readByte(kIapsr) & kPul, 0) << "a clean relock can be unlocked again";

    c.write(0x5064, {0x56}); // program memory's order on the data key
    c.unlockData();
    EXPECT_EQ(c.readByte(kIapsr) & kDul, 0);
    c.resetChip();
    c.unlockData();
    EXPECT_NE(c.readByte(kIapsr) & kDul, 0);
}

TEST(EmulatedChip, BlockProgramsOnItsLastByteAndEndsWithEopAfterSixMilliseconds) {
    SwimClient c;
    c.connect();
    c.unlockFlash();
    const auto block = pattern(64, 3);
    c.write(0x505B, {0x01, 0xFE});
    c.write(0x8040, std::vector<std::uint8_t>(block.begin(), block.end() - 1));
    EXPECT_EQ(c.readByte(kIapsr), kHvoff | kPul) << "63 bytes must not start programming";

    c.write(0x807F, {block.back()});
    const double started = c.emulatedMs();
    EXPECT_EQ(c.readByte(kIapsr) & (kEop | kHvoff), 0) << "programming, high voltage on";
    EXPECT_NE(c.waitFlash() & kEop, 0);
    const double took = c.emulatedMs() - started;
    EXPECT_GE(took, 6.0);
    EXPECT_LT(took, 7.0);
    EXPECT_EQ(c.readByte(kIapsr) & kEop, 0) << "reading IAPSR clears EOP";
    EXPECT_EQ(c.read(0x505B, 2), (std::vector<std::uint8_t>{0x00, 0xFF})) << "mode clears itself";
    EXPECT_EQ(c.read(0x8040, 64), block);
    EXPECT_EQ(c.probe.statistics().blockProgrammings, 1);
}

TEST(EmulatedChip, ModeBitsNeedTheirComplementInNcr2) {
    SwimClient c;
    c.connect();
    c.unlockFlash();
    c.write(0x505B, {0x01}); // NCR2 left at 0xFF: no block mode, each byte programs alone
    EXPECT_EQ(c.write(0x8000, pattern(64, 1)), 0x05) << "the second byte meets the first";
    EXPECT_NE(c.waitFlash() & kEop, 0);
    EXPECT_EQ(c.probe.statistics().blockProgrammings, 0);
    EXPECT_EQ(c.read(0x8000, 2), (std::vector<std::uint8_t>{pattern(64, 1)[0], 0x00}));
}

TEST(EmulatedChip, FastProgrammingTakesThreeMillisecondsAndNeedsAnErasedBlock) {
    SwimClient c;
    c.connect();
    c.unlockFlash();
    c.write(0x505B, {0x10, 0xEF});
    c.write(0x8000, std::vector<std::uint8_t>(64, 0x0F));
    const double started = c.emulatedMs();
    EXPECT_NE(c.waitFlash() & kEop, 0);
    EXPECT_LT(c.emulatedMs() - started, 4.0);

    EXPECT_NE(c.programBlock(0x8000, std::vector<std::uint8_t>(64, 0xF0), 0x10) & kEop, 0);
    EXPECT_EQ(c.readByte(0x8000), 0xFF) << "without the erase, programming only sets bits";
}

TEST(EmulatedChip, ReadoutProtectionHidesAndGuardsMemoryUntilRemovedWithAMassErase) {
    auto options = SwimClient::instant();
    options.faults.readoutProtected = true;
    SwimClient c(options);
    c.probe.poke(0x8000, {0x12, 0x34});
    c.connect();
    EXPECT_EQ(c.read(0x8000, 2), (std::vector<std::uint8_t>{0x71, 0x71}));
    EXPECT_EQ(c.readByte(0x4800), 0xAA);
    c.unlockFlash();
    EXPECT_EQ(c.programBlock(0x8000, pattern(64, 5)) & (kEop | kWrPgDis), kWrPgDis);
    EXPECT_EQ(c.readByte(kIapsr) & kWrPgDis, 0) << "reading IAPSR clears WR_PG_DIS";

    c.unlockData();
    c.write(0x505B, {0x80, 0x7F});
    c.write(0x4800, {0x00});
    EXPECT_NE(c.waitFlash() & kEop, 0);
    EXPECT_EQ(c.probe.peek(0x8000, 2), (std::vector<std::uint8_t>{0, 0}));
    EXPECT_EQ(c.readByte(0x8000), 0x71) << "option bytes take effect at reset";
    c.resetChip();
    c.unlockFlash();
    EXPECT_NE(c.programBlock(0x8000, pattern(64, 5)) & kEop, 0);
    EXPECT_EQ(c.read(0x8000, 64), pattern(64, 5));
}

TEST(EmulatedChip, UbcWriteProtectsTheFirstBlocks) {
    auto options = SwimClient::instant();
    options.faults.ubcBlocks = 2;
    SwimClient c(options);
    c.connect();
    c.unlockFlash();
    EXPECT_EQ(c.programBlock(0x8040, pattern(64, 1)) & (kEop | kWrPgDis), kWrPgDis);
    EXPECT_EQ(c.programBlock(0x8080, pattern(64, 1)) & (kEop | kWrPgDis), kEop);
    EXPECT_EQ(c.probe.peek(0x4801, 2), (std::vector<std::uint8_t>{0x02, 0xFD}));
}

TEST(EmulatedChip, F2UpperRangeReadsZeroAndTakesBlocksThatStoreNothing) {
    auto options = SwimClient::instant();
    options.chip = kw::emu::ChipVariant::Stm8s103f2;
    SwimClient c(options);
    c.connect();
    c.unlockFlash();
    EXPECT_NE(c.programBlock(0x8FC0, pattern(64, 9)) & kEop, 0);
    c.write(0x505B, {0x01, 0xFE});
    c.write(0x9000, pattern(64, 9));
    const double started = c.emulatedMs();
    EXPECT_NE(c.waitFlash() & kEop, 0);
    EXPECT_GE(c.emulatedMs() - started, 6.0) << "a block there takes the usual time";
    EXPECT_EQ(c.read(0x9000, 64), std::vector<std::uint8_t>(64, 0));
    EXPECT_EQ(c.read(0x8FC0, 64), pattern(64, 9));
    EXPECT_EQ(c.probe.statistics().blockProgrammings, 2);
}

TEST(EmulatedChip, ResetHaltsWithSwimDebugModeAndRunsTheProgramWithSwimReset) {
    SwimClient c;
    c.connect(0xA0); // SAFE_MASK | SWIM_DM
    EXPECT_TRUE(c.probe.statistics().cpuRunning);
    c.resetChip();
    EXPECT_FALSE(c.probe.statistics().cpuRunning) << "stalled at reset exit";
    EXPECT_EQ(c.read(0x7F01, 3), (std::vector<std::uint8_t>{0x00, 0x80, 0x00})) << "PC";
    EXPECT_NE(c.readByte(0x7F99) & 0x08, 0) << "DM_CSR2.STALL";
    EXPECT_EQ(c.readByte(0x7F80), 0xA2) << "SWIM_CSR survives reset; HSIT reads set";

    c.write(0x7F80, {0xA4}); // | RST
    c.send({0xF4, 0x05});
    EXPECT_EQ(c.waitStatus(), 0x00);
    EXPECT_TRUE(c.probe.statistics().cpuRunning);
    std::uint8_t status = 0;
    c.read(0x8000, 1, &status);
    EXPECT_EQ(status, 0x04) << "the reset ended the SWIM session";
}

} // namespace

namespace {

constexpr std::uint8_t kBadState = 0x05;

// Starts a standard block programming and returns without waiting for it.
void startBlock(SwimClient& c, std::uint32_t address, std::uint8_t seed) {
    c.write(0x505B, {0x01, 0xFE});
    c.write(address, pattern(64, seed));
}

TEST(EmulatedChipStrict, AccessDuringProgrammingIsRefusedAndChangesNothing) {
    SwimClient c;
    c.connect();
    c.unlockFlash();
    c.unlockData();
    c.probe.poke(0x8080, pattern(64, 7));
    EXPECT_EQ(c.read(0x0000, 4).size(), 4U); // the probe's buffer now holds RAM's zeros
    startBlock(c, 0x8000, 1);

    std::uint8_t status = 0;
    const auto early = c.read(0x8080, 4, &status);
    EXPECT_EQ(status, kBadState) << "flash read while programming";
    EXPECT_EQ(early, std::vector<std::uint8_t>(4, 0)) << "no byte read: the buffer kept its bytes";
    c.read(0x4800, 1, &status);
    EXPECT_EQ(status, kBadState) << "option bytes live in the same controller";
    EXPECT_EQ(c.write(0x505B, {0x01, 0xFE}), 0x00);
    EXPECT_EQ(c.write(0x8040, pattern(64, 2)), kBadState) << "flash write while programming";
    EXPECT_EQ(c.write(0x4000, {0x11, 0x22}), kBadState) << "EEPROM write while programming";
    const std::uint8_t iapsr = c.readByte(0x505F);
    EXPECT_EQ(iapsr & (kEop | kHvoff), 0) << "registers stay readable, IAPSR says busy";
    EXPECT_EQ(c.probe.statistics().busyRefusals, 4);

    EXPECT_NE(c.waitFlash() & kEop, 0);
    EXPECT_EQ(c.read(0x8000, 64), pattern(64, 1));
    EXPECT_EQ(c.read(0x8040, 64), std::vector<std::uint8_t>(64, 0)) << "refused block: nothing";
    EXPECT_EQ(c.read(0x4000, 2), (std::vector<std::uint8_t>{0, 0}));
    const auto kept = pattern(64, 7);
    EXPECT_EQ(c.read(0x8080, 4), std::vector<std::uint8_t>(kept.begin(), kept.begin() + 4));
    EXPECT_EQ(c.probe.statistics().blockProgrammings, 1);
    EXPECT_EQ(c.probe.statistics().busyRefusals, 4) << "an access after EOP is no refusal";

    auto options = SwimClient::instant();
    options.busyAccess = kw::emu::BusyAccess::Wait;
    SwimClient waiting(options);
    waiting.connect();
    waiting.unlockFlash();
    startBlock(waiting, 0x8000, 1);
    EXPECT_EQ(waiting.read(0x8000, 64, &status), pattern(64, 1)) << "the read waited";
    EXPECT_EQ(status, 0x00);
    EXPECT_EQ(waiting.probe.statistics().busyRefusals, 0);
}

// Time from the block's last byte to the first IAPSR read that shows EOP; each poll adds
// up to about 1 ms of USB and wire time on top of the programming itself.
double blockMilliseconds(SwimClient& c, std::uint32_t address, std::uint8_t cr2 = 0x01) {
    c.write(0x505B, {cr2, static_cast<std::uint8_t>(~cr2)});
    c.write(address, std::vector<std::uint8_t>(64, 0x3C));
    const double start = c.emulatedMs();
    EXPECT_NE(c.waitFlash() & kEop, 0);
    return c.emulatedMs() - start;
}

TEST(EmulatedChipStrict, ProgrammingTimeLiesInItsRangeAndVariesReproducibly) {
    const auto run = [](int minUs, int maxUs, std::uint64_t seed, std::uint8_t cr2) {
        auto options = SwimClient::instant();
        options.blockMicrosMin = minUs;
        options.blockMicrosMax = maxUs;
        options.seed = seed;
        SwimClient c(options);
        c.connect();
        c.unlockFlash();
        std::vector<double> times;
        for (std::uint32_t block = 0; block < 16; ++block)
            times.push_back(blockMilliseconds(c, 0x8000 + block * 64, cr2));
        return times;
    };
    const auto standard = run(6000, 6600, 0, 0x01);
    const auto [shortest, longest] = std::minmax_element(standard.begin(), standard.end());
    EXPECT_GE(*shortest, 6.0);
    EXPECT_LT(*longest, 6.6 + 1.5);
    EXPECT_GT(*longest - *shortest, 0.1) << "every block taking the same time is no draw";
    EXPECT_EQ(run(6000, 6600, 0, 0x01), standard) << "the same seed, the same times";
    EXPECT_NE(run(6000, 6600, 1, 0x01), standard);

    for (double fast : run(6000, 6600, 0, 0x10)) {
        EXPECT_GE(fast, 3.0) << "fast programming: half";
        EXPECT_LT(fast, 3.3 + 1.5);
    }
    for (double slow : run(12000, 12000, 0, 0x01)) {
        EXPECT_GE(slow, 12.0) << "a slow chip";
        EXPECT_LT(slow, 12.0 + 1.5);
    }
}

} // namespace
