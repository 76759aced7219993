// The ST-LINK library's EEPROM, option-byte and protection calls against an emulated probe and
// chip, in process: the bytes on the chip after each call and what each call costs on the USB.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "EmulatedUsb.h"
#include "stlink/Session.h"

namespace {

using namespace kw::stlink;
using kw::ResultCode;
using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kFlashBase = 0x8000;
constexpr std::uint32_t kEepromBase = 0x4000;
constexpr std::uint32_t kOptionBase = 0x4800;
constexpr int kFlash = 8192;
constexpr int kEeprom = kw::kEepromMaxSize;
constexpr int kEepromBlock = kw::kEepromBlockSize;
const Bytes kFactoryOptions{0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF};

Bytes pattern(unsigned seed, int length) {
    std::mt19937 random(seed);
    Bytes bytes(static_cast<std::size_t>(length));
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    return bytes;
}

// An emulated probe and chip with the library's programmer on top.
struct Board {
    explicit Board(const kw::emu::Options& options = defaults())
        : probe(std::make_unique<kw::emu::Probe>(options)),
          programmer(std::make_unique<Programmer>(
              [this] { return std::make_unique<kw::test::EmulatedPort>(*probe, tamper); })) {}
    static kw::emu::Options defaults() {
        kw::emu::Options options;
        options.timeScale = 1.0; // the library's limits are wall-clock time
        return options;
    }

    ResultCode writeEeprom(const Bytes& image) {
        for (int offset = 0; offset < static_cast<int>(image.size()); offset += kEepromBlock) {
            Bytes block(image.begin() + offset, image.begin() + offset + kEepromBlock);
            if (const ResultCode code = programmer->setEepromData(offset, block.data()))
                return code;
        }
        return kDone;
    }
    ResultCode readEeprom(Bytes& out, int length = kEeprom) {
        out.assign(static_cast<std::size_t>(length), 0xEE);
        for (int offset = 0; offset < length; offset += kEepromBlock)
            if (const ResultCode code = programmer->getEepromData(offset, out.data() + offset))
                return code;
        return kDone;
    }
    ResultCode download(const Bytes& image, int blocks = 64) {
        for (int block = 0; block < blocks; ++block) {
            Bytes staging(image.begin() + block * 128, image.begin() + block * 128 + 128);
            if (const ResultCode code = programmer->setFlashData(block * 128, staging.data());
                code > 0)
                return code;
        }
        return kDone;
    }
    Bytes flash() const { return probe->peek(kFlashBase, kFlash); }
    Bytes eeprom() const { return probe->peek(kEepromBase, kEeprom); }
    Bytes options() const { return probe->peek(kOptionBase, kw::kOptionByteCount); }
    std::string errorText(int code) const {
        char text[512];
        return programmer->errorText(code, text, sizeof text) > 0 ? text : "";
    }
    kw::emu::Statistics statistics() const { return probe->statistics(); }

    std::unique_ptr<kw::emu::Probe> probe;
    kw::test::ReplyTamper tamper;
    std::unique_ptr<Programmer> programmer;
};

// Blocks that hold their bytes already cost one read and no programming, over a clean link
// and over one that errs at high speed (the library goes on at low speed).
class StlinkEeprom : public ::testing::TestWithParam<bool> {};

TEST_P(StlinkEeprom, WritesOnlyTheChangedBlocksAndReadsThemBack) {
    kw::emu::Options options = Board::defaults();
    options.faults.flakyHighSpeed = GetParam();
    Board board(options);
    const Bytes old = pattern(1, kEeprom);
    board.probe->poke(kEepromBase, old);
    Bytes image = old;
    image[0] ^= 0x01;                     // block 0
    image[3 * kEepromBlock + 17] ^= 0x80; // block 3
    image[kEeprom - 1] ^= 0xFF;           // block 9, the last byte
    const auto before = board.statistics();

    ASSERT_EQ(board.writeEeprom(image), kDone) << board.errorText(board.writeEeprom(image));
    EXPECT_EQ(board.eeprom(), image);
    const auto after = board.statistics();
    EXPECT_EQ(after.eepromOperations - before.eepromOperations, 3);
    EXPECT_EQ(after.blockProgrammings, before.blockProgrammings) << "flash untouched";
    EXPECT_EQ(after.busyRefusals, 0);
    Bytes read;
    ASSERT_EQ(board.readEeprom(read), kDone);
    EXPECT_EQ(read, image);
    board.programmer->end();
    EXPECT_TRUE(board.statistics().cpuRunning);
}

INSTANTIATE_TEST_SUITE_P(Links, StlinkEeprom, ::testing::Values(false, true), [](const auto& info) {
    return std::string(info.param ? "ErrorsAtHighSpeed" : "Clean");
});

// What one EEPROM block costs on the USB once connected. The reads are fixed: a block that
// holds its bytes is read once, a changed one once more to check it. The transfers, a figure
// for comparison, include the status polls, which vary with the machine's load.
TEST(StlinkEepromCost, ReadsAndTransfersPerBlock) {
    Board board;
    int eepromReads = 0;
    board.tamper = [&eepromReads](int reply, int memoryCommand, std::uint32_t address,
                                  std::uint8_t*, int) {
        if (reply == 0x0C && memoryCommand == 0x0B && address >= kEepromBase &&
            address < kEepromBase + kEeprom)
            ++eepromReads;
    };
    const Bytes image = pattern(2, kEepromBlock);
    Bytes held(kEepromBlock);
    ASSERT_EQ(board.programmer->getEepromData(0, held.data()), kDone); // connects
    const auto cost = [&board, &eepromReads, &image](int offset) {
        eepromReads = 0;
        const long long transfers = board.statistics().transfers;
        EXPECT_EQ(board.programmer->setEepromData(offset, image.data()), kDone);
        return std::pair{eepromReads, board.statistics().transfers - transfers};
    };
    const auto [firstReads, first] = cost(kEepromBlock); // with the unlock
    const auto [changedReads, changed] = cost(2 * kEepromBlock);
    const auto [skippedReads, skipped] = cost(2 * kEepromBlock);
    std::printf("USB transfers per EEPROM block: %lld changed (%lld the first, with the unlock), "
                "%lld unchanged\n",
                changed, first, skipped);
    RecordProperty("TransfersPerChangedBlock", static_cast<int>(changed));
    RecordProperty("TransfersPerUnchangedBlock", static_cast<int>(skipped));
    EXPECT_EQ(firstReads, 2);
    EXPECT_EQ(changedReads, 2);
    EXPECT_EQ(skippedReads, 1);
    EXPECT_EQ(board.statistics().eepromOperations, 2);
    EXPECT_EQ(board.probe->peek(kEepromBase + 2 * kEepromBlock, kEepromBlock), image);
}

// A download cut short leaves its last block programming; the EEPROM write after it waits for
// that block's end (no access refused for coming while it programs) and checks it.
TEST(StlinkEeprom, FollowsFlashBlocksOfTheSameTransfer) {
    Board board;
    const Bytes flash = pattern(3, kFlash);
    const Bytes eeprom = pattern(4, kEeprom);
    ASSERT_EQ(board.download(flash, 20), kDone);
    ASSERT_EQ(board.writeEeprom(eeprom), kDone);
    Bytes read;
    ASSERT_EQ(board.readEeprom(read), kDone);
    EXPECT_EQ(read, eeprom);
    board.programmer->end();

    EXPECT_EQ(board.statistics().busyRefusals, 0);
    EXPECT_TRUE(board.statistics().cpuRunning);
    EXPECT_EQ(board.eeprom(), eeprom);
    const Bytes chip = board.flash();
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 20 * 128, chip.begin()));
    // And EEPROM first, then a whole download: the download's first block joins the transfer.
    const Bytes other = pattern(5, kEeprom);
    ASSERT_EQ(board.writeEeprom(other), kDone);
    ASSERT_EQ(board.download(flash), kDone);
    EXPECT_EQ(board.flash(), flash);
    EXPECT_EQ(board.eeprom(), other);
}

TEST(StlinkArguments, WholeChipCallsRefuseBadArgumentsWithoutTouchingTheProbe) {
    Board board;
    std::array<std::uint8_t, 64> block{};
    EXPECT_EQ(board.programmer->setEepromData(-64, block.data()), kBadArgument);
    EXPECT_EQ(board.programmer->setEepromData(kEeprom, block.data()), kBadArgument);
    EXPECT_EQ(board.programmer->setEepromData(32, block.data()), kBadArgument);
    EXPECT_EQ(board.programmer->setEepromData(0, nullptr), kBadArgument);
    EXPECT_EQ(board.programmer->getEepromData(kEeprom, block.data()), kBadArgument);
    EXPECT_EQ(board.programmer->getOptionBytes(block.data(), kw::kOptionByteCount - 1),
              kBadArgument);
    EXPECT_EQ(board.programmer->getOptionBytes(nullptr, kw::kOptionByteCount), kBadArgument);
    for (const int index : {-1, 2, 10, 11, 255})
        EXPECT_EQ(board.programmer->setOptionByte(index, 0), kBadArgument) << index;
    EXPECT_EQ(board.statistics().transfers, 0);
    EXPECT_THAT(board.errorText(kBadArgument), HasSubstr("EEPROM"));

    // The last block of the largest EEPROM is in range.
    EXPECT_EQ(board.programmer->getEepromData(kEeprom - kEepromBlock, block.data()), kDone);
}

// OPTn with its complement, one byte per operation; a byte that holds its value is not
// written; the chip takes the values at its reset when the transfer ends.
TEST(StlinkOptions, WritesEachByteWithItsComplementAndTheChipTakesThemAtTheEnd) {
    Board board;
    const Bytes program = pattern(6, kFlash);
    board.probe->poke(kFlashBase, program);
    std::array<std::uint8_t, 16> read{};
    ASSERT_EQ(board.programmer->getOptionBytes(read.data(), read.size()), kDone);
    EXPECT_EQ(Bytes(read.begin(), read.begin() + kw::kOptionByteCount), kFactoryOptions);

    auto operations = board.statistics().optionOperations;
    ASSERT_EQ(board.programmer->setOptionByte(1, 4), kDone); // UBC: 4 blocks
    ASSERT_EQ(board.programmer->setOptionByte(3, 0x01), kDone);
    EXPECT_EQ(board.statistics().optionOperations - operations, 4);
    operations = board.statistics().optionOperations;
    ASSERT_EQ(board.programmer->setOptionByte(1, 4), kDone);
    EXPECT_EQ(board.statistics().optionOperations, operations) << "nothing to write";
    Bytes expected = kFactoryOptions;
    expected[1] = 0x04;
    expected[2] = 0xFB;
    expected[3] = 0x01;
    expected[4] = 0xFE;
    EXPECT_EQ(board.options(), expected);
    board.programmer->end();
    EXPECT_TRUE(board.statistics().cpuRunning);
    EXPECT_FALSE(board.statistics().optionByteError);

    // The boot blocks now refuse a download, which changes none of them.
    EXPECT_EQ(board.download(pattern(7, kFlash)), kProtected);
    EXPECT_THAT(board.errorText(kProtected), HasSubstr("kwflash options set UBC=0"));
    board.programmer->setOption("language", "en");
    EXPECT_THAT(board.errorText(kProtected), HasSubstr("kwflash options set UBC=0"));
    const Bytes chip = board.flash();
    EXPECT_TRUE(std::equal(program.begin(), program.begin() + 4 * 64, chip.begin()));
    board.programmer->end();

    ASSERT_EQ(board.programmer->setOptionByte(1, 0), kDone);
    board.programmer->end();
    const Bytes image = pattern(8, kFlash);
    EXPECT_EQ(board.download(image), kDone);
    EXPECT_EQ(board.flash(), image);
}

// A protected chip refuses flash and EEPROM with code 4 and changes nothing; its option bytes
// still read. Unlocking erases flash and EEPROM, keeps the other option bytes, and the same
// transfer then programs the chip.
TEST(StlinkProtection, AProtectedChipIsUnlockedThenProgrammedInOneTransfer) {
    kw::emu::Options options = Board::defaults();
    options.faults.readoutProtected = true;
    Board board(options);
    const Bytes oldFlash = pattern(9, kFlash);
    const Bytes oldEeprom = pattern(10, kEeprom);
    board.probe->poke(kFlashBase, oldFlash);
    board.probe->poke(kEepromBase, oldEeprom);
    board.probe->poke(kOptionBase + 3, {0x01, 0xFE}); // AFR0

    Bytes block(kEepromBlock, 0x42);
    EXPECT_EQ(board.programmer->setEepromData(0, block.data()), kProtected);
    EXPECT_THAT(board.errorText(kProtected), HasSubstr("kwflash unlock"));
    EXPECT_EQ(board.programmer->getEepromData(0, block.data()), kProtected);
    EXPECT_EQ(board.eeprom(), oldEeprom);
    EXPECT_EQ(board.statistics().eepromOperations, 0);
    std::array<std::uint8_t, kw::kOptionByteCount> read{};
    ASSERT_EQ(board.programmer->getOptionBytes(read.data(), read.size()), kDone);
    EXPECT_EQ(read[0], 0xAA);

    ASSERT_EQ(board.programmer->removeReadoutProtection(), kDone)
        << board.errorText(board.programmer->removeReadoutProtection());
    EXPECT_EQ(board.flash(), Bytes(kFlash, 0x00));
    EXPECT_EQ(board.eeprom(), Bytes(kEeprom, 0x00));
    Bytes expected = kFactoryOptions;
    expected[3] = 0x01;
    expected[4] = 0xFE;
    EXPECT_EQ(board.options(), expected);

    const Bytes eeprom = pattern(11, kEeprom);
    const Bytes flash = pattern(12, kFlash);
    ASSERT_EQ(board.writeEeprom(eeprom), kDone) << board.errorText(board.writeEeprom(eeprom));
    ASSERT_EQ(board.download(flash), kDone);
    EXPECT_EQ(board.eeprom(), eeprom);
    EXPECT_EQ(board.flash(), flash);
    EXPECT_EQ(board.statistics().busyRefusals, 0);
    EXPECT_TRUE(board.statistics().cpuRunning);
}

// Protection set through the option byte takes hold at the end of the transfer; writing ROP
// away from 0xAA is the same unlock. On a chip without protection unlocking does nothing.
TEST(StlinkProtection, SetThroughRopAndRemovedAgain) {
    Board board;
    const Bytes flash = pattern(13, kFlash);
    board.probe->poke(kFlashBase, flash);
    ASSERT_EQ(board.programmer->removeReadoutProtection(), kDone);
    EXPECT_EQ(board.statistics().optionOperations, 0);
    EXPECT_EQ(board.flash(), flash);

    ASSERT_EQ(board.programmer->setOptionByte(0, 0xAA), kDone);
    Bytes read;
    EXPECT_EQ(board.readEeprom(read, kEepromBlock), kDone) << "protected from the next reset";
    board.programmer->end();
    EXPECT_EQ(board.download(flash), kProtected);
    EXPECT_EQ(board.flash(), flash);
    board.programmer->end();

    ASSERT_EQ(board.programmer->setOptionByte(0, 0x00), kDone);
    EXPECT_EQ(board.flash(), Bytes(kFlash, 0x00));
    ASSERT_EQ(board.readEeprom(read), kDone);
    EXPECT_EQ(read, Bytes(kEeprom, 0x00));
}

} // namespace

namespace {

// The look a loop that waits for boards makes a few times a second: a chip that answers, a
// protected one, an empty wire, no probe. It leaves the chip running and its memory as it was.
TEST(StlinkChipTopic, TellsAChipFromAnEmptyWire) {
    Board board;
    const Bytes flash = pattern(14, kFlash);
    board.probe->poke(kFlashBase, flash);
    std::string text;
    constexpr int kLooks = 20;
    const auto start = std::chrono::steady_clock::now();
    for (int look = 0; look < kLooks; ++look) {
        ASSERT_EQ(board.programmer->report("chip", text), kDone) << text;
        EXPECT_EQ(text, "chip=present rop=no\n");
        EXPECT_TRUE(board.statistics().cpuRunning);
    }
    const double each =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count() /
        kLooks;
    std::printf("one look for a chip: %.1f ms, %lld USB transfers\n", each,
                board.statistics().transfers / kLooks);
    RecordProperty("TransfersPerLook", static_cast<int>(board.statistics().transfers / kLooks));
    EXPECT_LT(each, 3000) << "within the library's limits, also on a loaded machine";
    const auto statistics = board.statistics();
    EXPECT_EQ(statistics.blockProgrammings + statistics.eepromOperations +
                  statistics.optionOperations,
              0);
    EXPECT_EQ(board.flash(), flash);

    kw::emu::Options options = Board::defaults();
    options.faults.readoutProtected = true;
    Board locked(options);
    EXPECT_EQ(locked.programmer->report("chip", text), kDone);
    EXPECT_EQ(text, "chip=present rop=yes\n");

    options = Board::defaults();
    options.faults.targetAbsent = true;
    Board empty(options);
    ASSERT_TRUE(empty.programmer->setOption("language", "en"));
    EXPECT_EQ(empty.programmer->report("chip", text), kTargetSilent);
    EXPECT_THAT(text, HasSubstr("the target chip does not answer"));
    EXPECT_THAT(empty.errorText(kTargetSilent), HasSubstr("NRST"));

    options = Board::defaults();
    options.faults.noProbe = true;
    Board none(options);
    EXPECT_EQ(none.programmer->report("chip", text), kNoProgrammer);
}

// A look in the middle of a transfer ends it first, as the end of the transfer would: the
// blocks sent are in flash, the chip runs, and the transfer's description stays for "session".
TEST(StlinkChipTopic, EndsATransferInProgress) {
    Board board;
    const Bytes flash = pattern(15, kFlash);
    ASSERT_EQ(board.download(flash, 10), kDone);
    std::string text;
    ASSERT_EQ(board.programmer->report("chip", text), kDone) << text;
    const Bytes chip = board.flash();
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 10 * 128, chip.begin()));
    EXPECT_TRUE(board.statistics().cpuRunning);
    std::string session;
    EXPECT_EQ(board.programmer->report("session", session), kDone);
    EXPECT_THAT(session, HasSubstr("SWIM high speed"));
}

// Boards taken off the probe and put on, also in the middle of a transfer: every look tells
// the wire's state at that moment, whatever the one before found.
TEST(StlinkChipTopic, FollowsBoardsTakenOffAndPutOn) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("kw-stlink-boards-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::filesystem::path boardFile = folder / "board";
    // Replaced in one step, as the emulator reads it at every SWIM command.
    const auto putOn = [&boardFile](const std::string& line) {
        const std::filesystem::path next = boardFile.string() + ".new";
        std::ofstream(next) << line << "\n";
        std::filesystem::rename(next, boardFile);
    };
    putOn("A");
    kw::emu::Options options = Board::defaults();
    options.boards.mode = kw::emu::BoardSwaps::Mode::File;
    options.boards.file = boardFile.string();
    Board board(options);
    const auto look = [&board](std::string expected) {
        std::string text;
        const ResultCode code = board.programmer->report("chip", text);
        if (code == kDone) {
            EXPECT_EQ(text, expected);
        }
        return code;
    };

    EXPECT_EQ(look("chip=present rop=no\n"), kDone);
    const Bytes flash = pattern(16, kFlash);
    ASSERT_EQ(board.download(flash, 8), kDone);
    putOn("none"); // pulled before the transfer ends
    EXPECT_EQ(look(""), kTargetSilent);
    EXPECT_EQ(look(""), kTargetSilent);

    putOn("B rop");
    EXPECT_EQ(look("chip=present rop=yes\n"), kDone);
    EXPECT_EQ(board.statistics().board, "B");
    putOn("none");
    EXPECT_EQ(look(""), kTargetSilent);

    // Board A again, with the blocks it took before it was pulled, and running.
    putOn("A");
    EXPECT_EQ(look("chip=present rop=no\n"), kDone);
    EXPECT_TRUE(board.statistics().cpuRunning);
    Bytes read(kw::kGetFlashDataBlockSize);
    ASSERT_EQ(board.programmer->getFlashData(0, read.data()), kDone);
    EXPECT_TRUE(std::equal(read.begin(), read.end(), flash.begin()));
    board.programmer->end();
    std::filesystem::remove_all(folder);
}

} // namespace
