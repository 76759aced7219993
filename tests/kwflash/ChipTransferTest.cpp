// The whole-chip transfers of the core and the option-byte model, against the fake programmer.

#include <gtest/gtest.h>

#include "programmer/ChipTransfer.h"
#include "programmer/RecordingHost.h"
#include "support/FakeProgrammer.h"
#include "target/OptionBytes.h"

namespace kw {
namespace {

using test::FakeProgrammer;
using test::RecordingHost;

// Only the blocks asked for go out, in order, padded as asked; progress counts them and a
// failure names the chip's block, not its place in the list.
TEST(ChipTransfer, SendsOnlyThePlannedBlocksAndNamesTheChipsBlockOnFailure) {
    FakeProgrammer fake;
    ImageBuffer flash(200);
    flash.write(130, 0x42);
    const std::vector<int> blocks{1, 5};
    RecordingHost host;
    TransferResult result = runDownload(
        fake, [&flash] { return &flash; }, blocks, 0x00, host);
    ASSERT_EQ(result.outcome, TransferOutcome::Completed);
    ASSERT_EQ(fake.writes.size(), 2u);
    EXPECT_EQ(fake.writes[0].offset, 128);
    EXPECT_EQ(fake.writes[0].data[2], 0x42);
    EXPECT_EQ(fake.writes[0].data[127], 0x00) << "past the image: the pad byte";
    EXPECT_EQ(fake.writes[1].offset, 640);
    EXPECT_NE(std::find(host.events.begin(), host.events.end(), "max:1"), host.events.end());

    fake.failWrite(1, 7);
    result = runDownload(
        fake, [&flash] { return &flash; }, blocks, 0x00, host);
    EXPECT_EQ(result.outcome, TransferOutcome::BlockFailed);
    EXPECT_EQ(result.failure.block, 5);
}

// Every export a plan needs is checked before the first byte goes out, so a library that can
// write flash but not EEPROM leaves the chip as it was.
TEST(ChipTransfer, ChecksEveryExportBeforeWritingAnything) {
    FakeProgrammer fake;
    fake.missing = {Operation::WriteOptionByte};
    ImageBuffer flash(128);
    ChipWritePlan plan;
    plan.flash = &flash;
    plan.flashBlocks = {0};
    plan.optionWrites = {{1, 4}};
    RecordingHost host;
    const TransferResult result = runChipWrite(fake, plan, host);
    EXPECT_EQ(result.outcome, TransferOutcome::ExportMissing);
    EXPECT_EQ(result.failure.kind, TransferKind::OptionWrite);
    EXPECT_STREQ(result.failure.exportName, kSetOptionByteName);
    EXPECT_TRUE(fake.writes.empty());
    EXPECT_EQ(fake.closes, 1);
}

// A read that fails or a programmer that goes away hands out nothing half-read.
TEST(ChipTransfer, AFailedReadHandsOutNothing) {
    FakeProgrammer fake;
    ChipReadPlan plan;
    plan.eepromBlocks = {0, 1};
    plan.options = true;
    RecordingHost host;
    ChipReadResult result = runChipRead(fake, plan, host);
    ASSERT_EQ(result.outcome, TransferOutcome::Completed);
    EXPECT_TRUE(result.eeprom && result.options);

    fake.failChipCall("options-read", 0, 5);
    result = runChipRead(fake, plan, host);
    EXPECT_EQ(result.outcome, TransferOutcome::BlockFailed);
    EXPECT_EQ(result.failure.kind, TransferKind::OptionRead);
    EXPECT_FALSE(result.eeprom || result.options);

    fake.failChipCall("options-read", 0, 0);
    fake.stopAtCall = ProgrammerStopped(StopKind::Signal, 11);
    fake.stopCall = 1;
    result = runChipRead(fake, plan, host);
    EXPECT_EQ(result.outcome, TransferOutcome::Stopped);
    EXPECT_FALSE(result.eeprom || result.options);
}

// Unlocking a protected chip erases it and keeps the other option bytes; the options are read
// back in the same session.
TEST(ChipTransfer, UnlockRemovesProtectionAndReadsTheOptionsBack) {
    FakeProgrammer fake;
    fake.optionBytes[0] = kRopProtected;
    fake.optionBytes[1] = 3;
    RecordingHost host;
    const ChipReadResult result = runUnlock(fake, host);
    ASSERT_EQ(result.outcome, TransferOutcome::Completed);
    EXPECT_EQ(fake.opens, 1);
    ASSERT_TRUE(result.options);
    EXPECT_EQ((*result.options)[0], 0x00);
    EXPECT_EQ((*result.options)[1], 3);
}

TEST(OptionBytes, FieldsEncodeWithTheirComplementsAndUbcCoversWholePages) {
    OptionBytes bytes = kFactoryOptionBytes;
    const OptionField* hsi = optionFieldNamed("hsitrim");
    ASSERT_NE(hsi, nullptr);
    setOptionField(bytes, *hsi, 1);
    setOptionField(bytes, *optionFieldNamed("WWDG_HALT"), 1);
    EXPECT_EQ(bytes[5], 0x11);
    EXPECT_EQ(bytes[6], 0xEE);
    setOptionField(bytes, *optionFieldNamed("PRSC"), 3);
    setOptionField(bytes, *optionFieldNamed("EXTCLK"), 1);
    EXPECT_EQ(bytes[7], 0x0B);
    EXPECT_TRUE(complementMatches(bytes, 7));
    setOptionField(bytes, *optionFieldNamed("ROP"), kRopProtected);
    EXPECT_EQ(bytes[1], 0x00) << "ROP has no complement";

    bytes[1] = 2;
    BootArea area = bootArea(bytes, kStm8s103f3);
    EXPECT_EQ(area.first, 0x8000u);
    EXPECT_EQ(area.last, 0x807Fu);
    bytes[1] = 0xFF;
    area = bootArea(bytes, kStm8s103f2);
    EXPECT_EQ(area.pages, 64) << "at most the chip's flash";
    EXPECT_EQ(area.last, 0x8FFFu);

    std::string why;
    EXPECT_EQ(parseOptionValue(*optionFieldNamed("LSI_EN"), "ON", why), 1u);
    EXPECT_EQ(parseOptionValue(*optionFieldNamed("ROP"), "on", why), 0xAAu);
    EXPECT_EQ(parseOptionValue(*optionFieldNamed("ROP"), "Off", why), 0u);
    EXPECT_EQ(parseOptionValue(*optionFieldNamed("HSECNT"), "0xb4", why), 0xB4u);
    EXPECT_FALSE(parseOptionValue(*optionFieldNamed("HSECNT"), "1", why));
    EXPECT_FALSE(parseOptionValue(*optionFieldNamed("UBC"), "on", why));
    EXPECT_FALSE(parseOptionValue(*optionFieldNamed("UBC"), "0x", why));
    EXPECT_FALSE(parseOptionValue(*optionFieldNamed("UBC"), "-1", why));
}

} // namespace
} // namespace kw
