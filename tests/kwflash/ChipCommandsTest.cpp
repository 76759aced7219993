// kwflash's whole-chip commands run in process against the fake programmer: which blocks and
// bytes reach the chip, what is refused before it is touched, and what the user reads.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/IntelHexLoader.h"
#include "image/TempDir.h"
#include "kwflash/Arguments.h"
#include "kwflash/Commands.h"
#include "support/FakeProgrammer.h"
#include "support/HexText.h"
#include "support/Stm8Tools.h"

namespace kw {
namespace {

using test::FakeProgrammer;

struct Ran {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string contentOf(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    std::fclose(file);
    return text;
}

std::size_t count(const std::vector<std::string>& calls, const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& call : calls)
        n += call.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

class ChipCommands : public ::testing::Test {
protected:
    test::TempDir dir;
    std::shared_ptr<FakeProgrammer> fake = std::make_shared<FakeProgrammer>();

    void SetUp() override { fake->missing = {Operation::BlockPauses}; }

    Ran kwflash(std::vector<std::string> args) {
        std::vector<std::string> paths;
        for (auto& arg : args)
            if (arg.find('.') != std::string::npos && arg[0] != '-' &&
                arg.find('=') == std::string::npos)
                arg = (dir.path() / arg).string();
        std::vector<const char*> argv;
        for (const auto& arg : args)
            argv.push_back(arg.c_str());
        Ran run;
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        try {
            run.exitCode =
                cli::runCommand(cli::parseArguments(argv), test::factoryOf(fake), out, err);
        } catch (const cli::UsageError& e) {
            run.exitCode = cli::kWrongUsage;
            std::fputs(e.what(), err);
        }
        run.out = contentOf(out);
        run.err = contentOf(err);
        return run;
    }
};

// What SDCC writes for a program with EEPROM data and an option byte: every area reaches the
// chip, only the flash blocks the file touches are sent (padded 0x00), the rest of the flash
// is left as it was, and the check reads back just what was sent.
TEST_F(ChipCommands, WriteProgramsEveryAreaTheFileHoldsAndOnlyItsBlocks) {
    std::fill(fake->flash.begin(), fake->flash.end(), 0x5A); // an earlier program
    dir.write("calib.ihx", hexRecord(0x8000, {0x82, 0x00, 0x80, 0x80}) +
                               hexRecord(0x8180, {1, 2, 3}) + hexRecord(0x4000, {0x12, 0x34}) +
                               hexRecord(0x4041, {0x56}) + hexRecord(0x4805, {0x04, 0xFB}) +
                               hexEndOfFile());
    const Ran run = kwflash({"write", "calib.ihx"});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    ASSERT_EQ(fake->writes.size(), 2u);
    EXPECT_EQ(fake->writes[0].offset, 0);
    EXPECT_EQ(fake->writes[1].offset, 0x180);
    EXPECT_EQ(fake->writes[1].data[3], 0x00) << "padding is the chip's erased state";
    EXPECT_EQ(fake->flash[0x80], 0x5A) << "a block the file does not touch is left alone";
    EXPECT_EQ(fake->flash[0x100], 0x5A);
    ASSERT_EQ(fake->eepromWrites.size(), 2u);
    EXPECT_EQ(fake->eeprom[0], 0x12);
    EXPECT_EQ(fake->eeprom[0x41], 0x56);
    EXPECT_EQ(fake->eeprom[0x40], 0x00);
    EXPECT_EQ(count(fake->calls, "option-write"), 1u);
    EXPECT_EQ(fake->optionBytes[5], 0x04);
    EXPECT_EQ(fake->optionBytes[6], 0xFB);
    EXPECT_EQ(fake->reads.size(), 8u) << "4 reads for each of the 2 blocks sent";
    EXPECT_EQ(count(fake->calls, "eeprom-read"), 2u);
    EXPECT_EQ(fake->opens, 2) << "one session to write, one to check";
    EXPECT_NE(run.out.find("flash 0x8000-0x8182 (7 bytes), EEPROM 0x4000-0x4041 (3 bytes), "
                           "option bytes 0x4805-0x4806 (2 bytes)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Written and verified: 7 bytes of flash, 3 of EEPROM, 2 option bytes."),
              std::string::npos)
        << run.out;

    // The same file verifies against the chip although the rest of the flash differs.
    fake->calls.clear();
    EXPECT_EQ(kwflash({"verify", "calib.ihx"}).exitCode, 0);
    fake->eeprom[0x41] = 0x57;
    const Ran changed = kwflash({"verify", "calib.ihx"});
    EXPECT_EQ(changed.exitCode, 3);
    EXPECT_NE(changed.err.find("1 of 12 bytes differ, the first at 0x4041 (chip 0x57, image 0x56)"),
              std::string::npos)
        << changed.err;
}

// SDCC's output for a program with EEPROM data, as srec_cat reads it: the EEPROM bytes reach
// the chip's EEPROM at their addresses, the flash blocks the file touches hold its bytes (0x00
// in the gaps), and the new chip's other blocks are left erased.
TEST_F(ChipCommands, WritesWhatSrecCatReadsInAnSdccProgramWithEepromData) {
    const auto ihx = test::compileStm8Program(dir.path(), test::kStm8EepromProgram, "calib");
    fake->flash.fill(0x00);
    const Ran run = kwflash({"write", ihx.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    const auto eeprom = test::srecBinary(ihx, kStm8s103f3.eepromBase, 640, 0x00);
    EXPECT_EQ(std::vector<std::uint8_t>(fake->eeprom.begin(), fake->eeprom.begin() + 4),
              (std::vector<std::uint8_t>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(std::vector<std::uint8_t>(fake->eeprom.begin(), fake->eeprom.end()), eeprom);
    EXPECT_EQ(fake->eepromWrites.size(), 1u);

    const auto zeros = test::srecBinary(ihx, kStm8s103f3.flashBase, 8192, 0x00);
    const auto ones = test::srecBinary(ihx, kStm8s103f3.flashBase, 8192, 0xFF);
    std::size_t sent = 0;
    for (std::size_t block = 0; block < 8192; block += 128) {
        bool defined = false;
        for (std::size_t i = block; i < block + 128; ++i)
            defined = defined || zeros[i] == ones[i];
        sent += defined ? 1 : 0;
    }
    EXPECT_EQ(std::vector<std::uint8_t>(fake->flash.begin(), fake->flash.end()), zeros);
    EXPECT_EQ(fake->writes.size(), sent);
    EXPECT_LT(sent, 64u) << "the whole flash was sent";
}

// Data the chosen chip cannot hold is refused before the programmer is touched.
TEST_F(ChipCommands, RefusesEepromAndOptionDataTheChipCannotHold) {
    dir.write("app.hex", hexRecord(0x8000, {0x82}) + hexEndOfFile());
    dir.write("200.bin", std::string(200, '\x11'));
    dir.write("past.hex", hexRecord(0x8000, {0x82}) + hexRecord(0x4080, {1}) + hexEndOfFile());
    dir.write("nopt.hex",
              hexRecord(0x8000, {0x82}) + hexRecord(0x4801, {0x04, 0xFF}) + hexEndOfFile());
    dir.write("beyond.hex", hexRecord(0x8000, {0x82}) + hexRecord(0x4810, {1}) + hexEndOfFile());
    dir.write("flash.hex", hexRecord(0x4000, {1}) + hexRecord(0x8000, {2}) + hexEndOfFile());

    Ran run = kwflash({"write", "app.hex", "--eeprom", "200.bin", "--chip", "STM8S003F3"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("200.bin\" does not fit the STM8S003F3's 128 bytes of EEPROM: it is "
                           "200 bytes"),
              std::string::npos)
        << run.err;
    run = kwflash({"write", "past.hex", "--chip", "stm8s001j3"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("has EEPROM data at 0x4080-0x4080, past the STM8S001J3's 128 bytes of "
                           "EEPROM (0x4000-0x407F)"),
              std::string::npos)
        << run.err;
    // The same file fits a chip with 640 bytes.
    EXPECT_EQ(kwflash({"write", "past.hex", "--no-verify"}).exitCode, 0);
    const int opened = fake->opens;

    run = kwflash({"write", "nopt.hex"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("gives the option byte at 0x4801 the value 0x04 and its complement at "
                           "0x4802 0xFF, not 0xFB"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(kwflash({"write", "beyond.hex"}).exitCode, 2);
    run = kwflash({"write", "app.hex", "--eeprom", "flash.hex"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("holds more than EEPROM data"), std::string::npos) << run.err;
    EXPECT_EQ(fake->opens, opened) << "the programmer was touched for a refused file";
}

// A library without an export the file needs writes nothing at all, and says what it cannot.
TEST_F(ChipCommands, ALibraryWithoutAnExportTheFileNeedsWritesNothing) {
    dir.write("both.hex", hexRecord(0x8000, {0x82}) + hexRecord(0x4000, {1}) + hexEndOfFile());
    fake->missing.push_back(Operation::WriteEeprom);
    Ran run = kwflash({"write", "both.hex"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "kwflash: this programmer cannot write EEPROM (its library TOLVANEX.dll has "
                       "no SetEepromData export)\n");
    EXPECT_TRUE(fake->writes.empty()) << "flash written although the EEPROM cannot be";

    fake->missing = {Operation::ReadOptionBytes};
    run = kwflash({"options"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("this programmer cannot read option bytes"), std::string::npos);
    fake->missing = {Operation::RemoveProtection};
    fake->optionBytes[0] = kRopProtected;
    run = kwflash({"unlock", "--yes"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("this programmer cannot remove read-out protection"), std::string::npos);
    EXPECT_EQ(fake->flash[0], 0xFF) << "nothing was erased";
}

// ROP 0xAA in a file is written last, once the chip has been checked.
TEST_F(ChipCommands, AFileThatProtectsTheChipIsWrittenLast) {
    dir.write("locked.hex",
              hexRecord(0x4800, {0xAA, 0x02, 0xFD}) + hexRecord(0x8000, {0x82}) + hexEndOfFile());
    const Ran run = kwflash({"write", "locked.hex"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto& calls = fake->calls;
    ASSERT_FALSE(calls.empty());
    const auto protect = std::find(calls.begin(), calls.end(), "option-write 0 170");
    ASSERT_NE(protect, calls.end());
    EXPECT_EQ(std::find(protect, calls.end(), "read 0"), calls.end()) << "read after protecting";
    EXPECT_NE(std::find(calls.begin(), protect, "options-read"), protect) << "UBC not checked";
    EXPECT_EQ(fake->optionBytes[1], 0x02);
    EXPECT_NE(run.out.find("Read-out protection set (ROP 0xAA from the file)"), std::string::npos);

    // A file's ROP that leaves the chip readable is never written: a file does not unlock.
    dir.write("open.hex", hexRecord(0x4800, {0x00}) + hexRecord(0x8000, {0x82}) + hexEndOfFile());
    fake->calls.clear();
    EXPECT_EQ(kwflash({"write", "open.hex", "--no-verify"}).exitCode, 0);
    EXPECT_EQ(count(fake->calls, "option-write"), 0u);
}

// A protected chip refuses blocks; kwflash says so and what lifts it, not the library's advice.
TEST_F(ChipCommands, NamesTheProtectionThatMadeABlockFail) {
    dir.write("app.hex", hexRecord(0x8000, {0x82}) + hexRecord(0x8100, {1}) + hexEndOfFile());
    fake->errorTextFor = "use an option-byte tool";
    fake->optionBytes[0] = kRopProtected;
    fake->failWrite(0, 4);
    Ran run = kwflash({"write", "app.hex"});
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_EQ(run.err, "kwflash: the chip is read-out protected (ROP 0xAA at 0x4800): it refused "
                       "writing block 0 (0x8000-0x807F) with code 4; kwflash unlock removes the "
                       "protection, erasing flash and EEPROM\n");

    fake = std::make_shared<FakeProgrammer>();
    fake->optionBytes[1] = 4; // 0x8000-0x80FF
    fake->optionBytes[2] = 0xFB;
    dir.write("outside.hex", hexRecord(0x8100, {1}) + hexRecord(0x8180, {2}) + hexEndOfFile());
    fake->failWrite(1, 4);
    run = kwflash({"write", "outside.hex"});
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_NE(run.err.find("block 3 (0x8180-0x81FF) with code 4"), std::string::npos)
        << "outside UBC: " << run.err;
    // A library that reports a refusal with the call after it still gets the block named.
    dir.write("late.hex", hexRecord(0x8000, {0x82}) + hexRecord(0x4000, {1}) + hexEndOfFile());
    fake->failChipCall("eeprom-write", 0, 4);
    run = kwflash({"write", "late.hex"});
    EXPECT_EQ(run.err, "kwflash: block 0 (0x8000-0x807F) lies in the write-protected boot area "
                       "(UBC, 0x8000-0x80FF): kwflash options set UBC=0 lifts the protection\n");
    fake->failChipCall("eeprom-write", 0, 0);
    fake->failWrite(1, 0);
    fake->failWrite(0, 4);
    run = kwflash({"write", "app.hex"});
    EXPECT_EQ(run.err, "kwflash: block 0 (0x8000-0x807F) lies in the write-protected boot area "
                       "(UBC, 0x8000-0x80FF): kwflash options set UBC=0 lifts the protection\n");
}

TEST_F(ChipCommands, OptionsPrintsDecodedAndSetWritesOnlyWhatChanges) {
    fake->optionBytes[7] = 0x05; // OPT4: CKAWUSEL, PRSC 1; its complement wrong
    Ran run = kwflash({"options"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (const char* line :
         {"ROP        0x00  off\n", "UBC        0x00  no write-protected boot area\n",
          "CKAWUSEL   1     HSE with prescaler clocks the auto-wakeup unit\n",
          "PRSC       1     auto-wakeup prescaler 16 MHz to 128 kHz\n",
          "HSECNT     0x00  2048 HSE cycles to stabilise\n",
          "Complements: MISMATCH OPT4 0x4807 0x05, complement 0x4808 0xFF\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "in\n" << run.out;

    fake->calls.clear();
    run = kwflash({"options", "set", "UBC=4", "iwdg_hw=on", "AFR7=1"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> writes{"option-write 1 4", "option-write 3 128",
                                          "option-write 5 4", "option-write 7 5"};
    std::vector<std::string> seen;
    for (const auto& call : fake->calls)
        if (call.rfind("option-write", 0) == 0)
            seen.push_back(call);
    EXPECT_EQ(seen, writes) << "the wrong complement of OPT4 is mended too";
    EXPECT_NE(run.out.find("UBC        0x04  4 pages of 64 bytes write-protected, 0x8000-0x80FF\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Complements: all five match"), std::string::npos);

    // Nothing to change writes nothing; a wrong name or value never reaches the chip.
    fake->calls.clear();
    EXPECT_EQ(kwflash({"options", "set", "UBC=0x04"}).exitCode, 0);
    EXPECT_EQ(count(fake->calls, "option-write"), 0u);
    const int opened = fake->opens;
    for (const char* bad : {"UBC", "UBC=256", "HSECNT=0x10", "LSI_EN=2", "WWDG=on", "PRSC=4"}) {
        run = kwflash({"options", "set", bad});
        EXPECT_EQ(run.exitCode, 64) << bad;
    }
    EXPECT_EQ(fake->opens, opened);

    // Clearing ROP erases: only unlock does that.
    fake->optionBytes[0] = kRopProtected;
    run = kwflash({"options", "set", "ROP=0"});
    EXPECT_EQ(run.exitCode, 64);
    EXPECT_NE(run.err.find("kwflash unlock"), std::string::npos);
    EXPECT_EQ(count(fake->calls, "option-write 0"), 0u);
}

TEST_F(ChipCommands, UnlockAsksOrNeedsYesAndShowsTheOptionsAfterwards) {
    fake->optionBytes[0] = kRopProtected;
    fake->optionBytes[1] = 2;
    fake->optionBytes[2] = 0xFD;
    // Tests run without a terminal on standard input.
    Ran run = kwflash({"unlock"});
    EXPECT_EQ(run.exitCode, 64);
    EXPECT_NE(run.err.find("confirm it on a terminal, or add --yes"), std::string::npos);
    EXPECT_EQ(count(fake->calls, "unlock"), 0u);

    run = kwflash({"unlock", "--yes"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(count(fake->calls, "unlock"), 1u);
    EXPECT_EQ(fake->flash[0], 0x00);
    EXPECT_NE(run.out.find("erase its whole flash and EEPROM"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ROP        0x00  off\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("UBC        0x02"), std::string::npos) << "kept" << run.out;

    // An unprotected chip is left alone.
    run = kwflash({"unlock", "--yes"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(count(fake->calls, "unlock"), 1u);
    EXPECT_NE(run.out.find("not read-out protected"), std::string::npos);
}

// read --area: HEX keeps each area at its chip address; raw takes one area.
TEST_F(ChipCommands, ReadsEachAreaAtItsAddress) {
    for (std::size_t i = 0; i < fake->eeprom.size(); ++i)
        fake->eeprom[i] = static_cast<std::uint8_t>(i);
    fake->optionBytes[1] = 0x03;
    fake->optionBytes[2] = 0xFC;
    Ran run = kwflash({"read", "all.hex", "--area", "all", "--chip", "STM8S003F3"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const HexLoadResult back =
        loadIntelHexFile(dir.path() / "all.hex", kStm8s003f3.flashSize, HexChecks::Strict);
    EXPECT_EQ(back.base, kHexFlashBase);
    EXPECT_EQ(back.eeprom.count(), 128u) << "the chip's EEPROM only";
    EXPECT_EQ(back.eeprom.value(0x407F), 0x7F);
    EXPECT_EQ(back.options.count(), 11u);
    EXPECT_EQ(back.options.value(0x4801), 0x03);
    EXPECT_EQ(*back.image->read(0), 0xFF);

    run = kwflash({"read", "eeprom.bin", "--area=eeprom"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "eeprom.bin"), 640u);
    EXPECT_EQ(count(fake->calls, "read "), 256u) << "from the first read only";
    EXPECT_EQ(kwflash({"read", "all.bin", "--area", "all"}).exitCode, 64);
}

} // namespace
} // namespace kw
