// Board swaps: a chip taken off the probe and another put on, as a production loop meets them.
#include "SwimClient.h"
#include "emulator/ChipMemory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <stdlib.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using kw::emu::BoardSwaps;

constexpr std::uint8_t kOk = 0x00, kNoResponse = 0x04, kEop = 0x04, kWrPgDis = 0x01;

std::uint8_t entry(SwimClient& c) {
    c.send({0xF4, 0x04});
    return c.waitStatus();
}

// One session as a programmer library has it: enter, program a block, reset the chip into
// its program and leave SWIM (also after a failure). kOk, kWrPgDis or kNoResponse.
std::uint8_t programSession(SwimClient& c, std::uint8_t seed, bool resetToRun = true) {
    c.send({0xF4, 0x00});
    if (entry(c) != kOk)
        return kNoResponse;
    std::uint8_t outcome = kNoResponse;
    c.write(0x7F80, {0xA0});
    c.unlockFlash();
    c.write(0x505B, {0x01, 0xFE});
    if (c.write(0x8000, pattern(64, seed)) == kOk) {
        const std::uint8_t iapsr = c.waitFlash();
        outcome = (iapsr & kEop) != 0 ? kOk : (iapsr & kWrPgDis) != 0 ? kWrPgDis : kNoResponse;
    }
    if (resetToRun && outcome != kNoResponse) {
        c.write(0x7F80, {0xA4});
        c.send({0xF4, 0x05});
        c.waitStatus();
    }
    c.send({0xF4, 0x01});
    return outcome;
}

double volts(SwimClient& c) {
    c.send({0xF7});
    const auto reply = c.receive(8);
    const unsigned a0 = reply.at(0) | reply.at(1) << 8, a1 = reply.at(4) | reply.at(5) << 8;
    return 2.0 * a1 * 1.2 / a0;
}

class BoardFileTest : public testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("kw-boards-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    kw::emu::Options options() const {
        auto o = SwimClient::instant();
        o.memoryFile = (folder_ / "chip.bin").string();
        o.boards.mode = BoardSwaps::Mode::File;
        o.boards.file = (folder_ / "board").string();
        return o;
    }
    void seat(const std::string& line) const { std::ofstream(folder_ / "board") << line << "\n"; }

    fs::path folder_;
};

TEST_F(BoardFileTest, NamesTheBoardOnTheProbeEachWithItsOwnMemoryAndFaults) {
    SwimClient c(options());
    c.send({0xF4, 0x00});
    EXPECT_EQ(entry(c), kNoResponse) << "no board file yet: nothing on the wire";
    EXPECT_LT(volts(c), 0.1);

    seat("A");
    EXPECT_GT(volts(c), 3.0);
    EXPECT_EQ(programSession(c, 1), kOk);
    EXPECT_EQ(c.probe.statistics().board, "A");

    seat("B rop");
    EXPECT_EQ(programSession(c, 2), kWrPgDis) << "B is read-out protected";
    EXPECT_EQ(c.probe.peek(0x8000, 64), Bytes(64, 0)) << "B is a chip of its own";
    c.connect();
    EXPECT_EQ(c.readByte(0x8000), 0x71);

    // Taken off in the middle of a session: the next command finds nothing.
    seat("none");
    std::uint8_t status = 0;
    c.read(0x4800, 1, &status);
    EXPECT_EQ(status, kNoResponse);
    EXPECT_EQ(c.probe.statistics().board, "");

    seat("A");
    c.connect();
    EXPECT_EQ(c.read(0x8000, 64), pattern(64, 1)) << "A came back with what it held";
    const kw::emu::ChipMemory stored((folder_ / "chip.bin.A").string());
    EXPECT_EQ(Bytes(stored.flash.begin(), stored.flash.begin() + 64), pattern(64, 1));
    EXPECT_EQ(c.probe.statistics().boardsPutOn, 3);

    seat("C target-lost@1,no-hsit");
    c.connect();
    c.unlockFlash();
    EXPECT_NE(c.programBlock(0x8000, pattern(64, 3)) & kEop, 0);
    c.programBlock(0x8040, pattern(64, 3));
    c.read(0x8000, 1, &status);
    EXPECT_EQ(status, kNoResponse) << "C is lost at its second block";

    for (const char* bad : {"9lives", "D unplug@1", "D rop extra", "D sometimes"}) {
        seat(bad);
        c.send({0xF4, 0x00});
        EXPECT_EQ(entry(c), kNoResponse) << bad << ": an unusable line means no board";
    }
}

TEST(AutomaticBoards, EachSessionEndTakesTheBoardOffAndAFreshOneFollowsAfterTheGap) {
    auto options = SwimClient::instant();
    options.boards.mode = BoardSwaps::Mode::Auto;
    options.boards.count = 3;
    options.boards.faulty = {2};
    options.boards.faultyFaults = "target-lost@0";
    SwimClient c(options);
    EXPECT_EQ(c.probe.statistics().board, "board1");
    EXPECT_EQ(programSession(c, 1), kOk);
    EXPECT_EQ(c.probe.peek(0x8000, 64), pattern(64, 1));

    // The loop looks for the next board: two entries find nothing, the third a fresh chip.
    c.send({0xF4, 0x00});
    EXPECT_EQ(entry(c), kNoResponse);
    EXPECT_EQ(entry(c), kNoResponse);
    EXPECT_EQ(programSession(c, 2), kNoResponse) << "board 2 is faulty: lost at its first block";
    EXPECT_EQ(c.probe.statistics().board, "") << "its session ended at the SWIM exit";
    EXPECT_EQ(c.probe.statistics().boardsPutOn, 2);
    EXPECT_EQ(c.probe.peek(0x8000, 64), Bytes(64, 0)) << "fresh boards are erased";

    // A session ended by the SWIM exit alone counts as well.
    c.send({0xF4, 0x00});
    EXPECT_EQ(entry(c), kNoResponse);
    EXPECT_EQ(entry(c), kNoResponse);
    EXPECT_EQ(programSession(c, 3, false), kOk);
    for (int look = 0; look < 5; ++look) {
        c.send({0xF4, 0x00});
        EXPECT_EQ(entry(c), kNoResponse) << "after the last board, none for ever";
    }
    EXPECT_EQ(c.probe.statistics().boardsPutOn, 3);
    EXPECT_EQ(c.probe.statistics().blockProgrammings, 2);
}

TEST(AutomaticBoards, StayForTheirSessionsAndEntriesWithinOneSessionDoNotCount) {
    auto options = SwimClient::instant();
    options.boards.mode = BoardSwaps::Mode::Auto;
    options.boards.count = 2;
    options.boards.sessions = 2;
    options.boards.gap = 0;
    SwimClient c(options);
    c.send({0xF4, 0x00});
    EXPECT_EQ(entry(c), kOk);
    EXPECT_EQ(entry(c), kOk) << "a second entry sequence, as after a fall back to low speed";
    EXPECT_EQ(programSession(c, 1), kOk);
    EXPECT_EQ(c.probe.statistics().board, "board1") << "one session left on board 1";
    EXPECT_EQ(programSession(c, 5), kOk);
    EXPECT_EQ(programSession(c, 6), kOk) << "no gap: the next entry finds board 2";
    EXPECT_EQ(c.probe.statistics().board, "board2");
}

TEST(BoardSwapOptions, ComeFromTheEnvironment) {
    ::setenv("KW_EMU_MEMORY", "/nonexistent/chip.bin", 1);
    ::setenv("KW_EMU_PROBES", "3", 1);
    ::setenv("KW_EMU_BOARD_FILE", "/nonexistent/board", 1);
    ::setenv("KW_EMU_BOARDS_3", "auto:4:2,3:sessions=2:gap=1:faults=rop,no-hsit", 1);
    auto bus = kw::emu::busFromEnvironment();
    ASSERT_EQ(bus.size(), 3U);
    EXPECT_EQ(bus[0].options.boards.mode, BoardSwaps::Mode::File);
    EXPECT_EQ(bus[0].options.boards.file, "/nonexistent/board");
    EXPECT_EQ(bus[1].options.boards.file, "/nonexistent/board.2") << "beside probe 1's";
    const BoardSwaps& automatic = bus[2].options.boards;
    EXPECT_EQ(automatic.mode, BoardSwaps::Mode::Auto);
    EXPECT_EQ(automatic.count, 4);
    EXPECT_EQ(automatic.faulty, (std::vector<int>{2, 3}));
    EXPECT_EQ(automatic.sessions, 2);
    EXPECT_EQ(automatic.gap, 1);
    EXPECT_EQ(automatic.faultyFaults, "rop,no-hsit");

    for (const char* bad : {"auto", "auto:x", "auto:3:4", "auto:3:gap=-1", "auto:3:faults=busy",
                            "auto:3:sessions=0", "manual:3", "auto:3:colour=red"}) {
        ::setenv("KW_EMU_BOARDS_3", bad, 1);
        EXPECT_THROW(kw::emu::busFromEnvironment(), std::invalid_argument) << bad;
    }
    ::unsetenv("KW_EMU_BOARDS_3");
    ::setenv("KW_EMU_BOARDS", "auto:2", 1);
    EXPECT_THROW(kw::emu::optionsFromEnvironment(), std::invalid_argument) << "both ways at once";
    ::unsetenv("KW_EMU_BOARD_FILE");
    EXPECT_EQ(kw::emu::optionsFromEnvironment().boards.faultyFaults, "target-lost@1");
    for (const char* name : {"KW_EMU_MEMORY", "KW_EMU_PROBES", "KW_EMU_BOARDS"})
        ::unsetenv(name);
    EXPECT_EQ(kw::emu::optionsFromEnvironment().boards.mode, BoardSwaps::Mode::Fixed);
}

} // namespace
