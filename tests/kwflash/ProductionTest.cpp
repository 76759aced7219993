// The production pieces of kwflash in-process: the serial numbers' encodings and state file,
// the JSON records, and the pacing a console host asks for.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

#include "image/TempDir.h"
#include "kwflash/Progress.h"
#include "kwflash/ResultLog.h"
#include "kwflash/SerialNumbers.h"
#include "programmer/RecordingHost.h"
#include "programmer/Transfer.h"
#include "support/FakeProgrammer.h"

namespace kw::cli {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

SerialFormat format(const char* text) {
    return parseSerialFormat(text).value();
}

TEST(SerialFormatTest, LaysNumbersOutAsFirmwareReadsThem) {
    EXPECT_EQ(encodeSerial(0x12345678, format("le32")), (Bytes{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(encodeSerial(0x12345678, format("be32")), (Bytes{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(encodeSerial(12345678, format("bcd")), (Bytes{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(encodeSerial(905, format("bcd")), (Bytes{0x00, 0x00, 0x09, 0x05}));
    EXPECT_EQ(encodeSerial(42, format("ascii:6")), (Bytes{'0', '0', '0', '0', '4', '2'}));

    // A number that does not fit is refused, never cut to one that may be on another board.
    EXPECT_EQ(encodeSerial(0x100000000, format("le32")), std::nullopt);
    EXPECT_EQ(encodeSerial(100000000, format("bcd")), std::nullopt);
    EXPECT_EQ(encodeSerial(1000, format("ascii:3")), std::nullopt);
    EXPECT_EQ(encodeSerial(999, format("ascii:3")), (Bytes{'9', '9', '9'}));
    for (const char* bad : {"", "le16", "ascii:", "ascii:0", "ascii:20", "ascii:4x", "BCD"})
        EXPECT_EQ(parseSerialFormat(bad), std::nullopt) << bad;
    EXPECT_EQ(parseSerialNumber("0x10"), 16u);
    EXPECT_EQ(parseSerialNumber("18446744073709551615"), UINT64_MAX);
    for (const char* bad : {"", "-1", "1e3", "18446744073709551616", "0x", "12 "})
        EXPECT_EQ(parseSerialNumber(bad), std::nullopt) << bad;
}

class SerialStateTest : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path file = dir.path() / "sub" / "image.state";
    SerialState state{file, 100, 5, format("le32")};
};

// A failed board's number goes to the next board; a verified one is never given again, also
// by a later run on the same file.
TEST_F(SerialStateTest, GivesAFailedBoardsNumberAgain) {
    EXPECT_EQ(state.take().number, 100u);
    state.done(100);
    const auto second = state.take();
    EXPECT_EQ(second.number, 105u);
    EXPECT_TRUE(second.skipped.empty());
    state.giveBack(105);
    EXPECT_EQ(state.peek(), 105u);
    EXPECT_EQ(state.take().number, 105u);
    state.done(105);

    SerialState later(file, 100, 5, format("le32"));
    EXPECT_EQ(later.take().number, 110u) << "the state file, not --serial-start, decides";
}

// A process that took a number and died before recording its board (a crash, SIGKILL, a
// power loss) may have programmed it: that number is skipped, never given twice.
TEST_F(SerialStateTest, SkipsTheNumberOfAProcessThatDiedHoldingIt) {
    const pid_t child = ::fork();
    if (child == 0) {
        SerialState own(file, 100, 5, format("le32"));
        own.take();
        ::_exit(0); // gone without done() or giveBack()
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));

    const auto taken = state.take();
    EXPECT_EQ(taken.number, 105u);
    EXPECT_EQ(taken.skipped, std::vector<std::uint64_t>{100});
    state.giveBack(105);
    EXPECT_TRUE(state.take().skipped.empty()) << "reported once";
}

// Parallel probes share one file: every board gets a number of its own.
TEST_F(SerialStateTest, ThreadsNeverShareANumber) {
    std::vector<std::vector<std::uint64_t>> taken(4);
    {
        std::vector<std::jthread> threads;
        for (auto& mine : taken)
            threads.emplace_back([&] {
                SerialState own(file, 100, 5, format("le32"));
                for (int i = 0; i < 10; ++i) {
                    const std::uint64_t n = own.take().number;
                    mine.push_back(n);
                    if (n % 2 == 0)
                        own.done(n);
                    else
                        own.giveBack(n); // another thread may get it next: not in use then
                }
            });
    }
    std::set<std::uint64_t> used;
    std::size_t done = 0;
    for (const auto& mine : taken)
        for (const std::uint64_t n : mine)
            if (n % 2 == 0) {
                ++done;
                used.insert(n);
            }
    EXPECT_EQ(used.size(), done) << "a verified number went to two boards";
}

// A damaged file could hide numbers already on boards: refused, not guessed; a number past
// the format's range stops the run instead of wrapping.
TEST_F(SerialStateTest, RefusesADamagedFileAndANumberPastTheFormat) {
    fs::create_directories(file.parent_path());
    dir.write("sub/image.state", "next 100\nin-use 12x\n");
    EXPECT_THROW(state.take(), SerialStateError);
    dir.write("sub/image.state", "free 3\n");
    EXPECT_THROW(state.take(), SerialStateError);

    SerialState narrow(dir.path() / "narrow.state", 98, 1, format("ascii:2"));
    EXPECT_EQ(narrow.take().number, 98u);
    EXPECT_EQ(narrow.take().number, 99u);
    EXPECT_THROW(narrow.take(), SerialStateError);
}

TEST(ResultLogTest, EscapesAnyLibraryTextIntoValidJson) {
    EXPECT_EQ(jsonString("a\"b\\c\n\x01\x7f"), "\"a\\\"b\\\\c\\u000A\\u0001\\u007F\"");
    EXPECT_EQ(jsonString("\xe6\xb5\x8b \xff\xc0\xaf"),
              "\"\xe6\xb5\x8b \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");

    BoardRecord record;
    record.time = "2026-12-09T06:01:02.345Z";
    record.chip = "STM8S103F3";
    record.crc32 = {{"flash", 0xCBF43926}};
    record.serial = 7;
    record.code = 4;
    record.libraryCode = 6;
    record.libraryText = "\"quoted\"";
    record.seconds = 1.5;
    EXPECT_EQ(toJsonLine(record),
              "{\"time\":\"2026-12-09T06:01:02.345Z\",\"probe\":{\"serial\":null,\"port\":null},"
              "\"chip\":\"STM8S103F3\",\"crc32\":{\"flash\":\"0xCBF43926\"},\"serial\":7,"
              "\"result\":\"FAIL\",\"code\":4,\"message\":\"\",\"library_code\":6,"
              "\"library_text\":\"\\\"quoted\\\"\",\"seconds\":1.500}\n");
    const std::string now = utcNow();
    ASSERT_EQ(now.size(), 24u) << now;
    EXPECT_EQ(now[10], 'T');
    EXPECT_EQ(now.back(), 'Z');
}

TEST(ResultLogTest, AppendsWholeLinesAndRefusesWhatIsNotAFile) {
    test::TempDir dir;
    const fs::path file = dir.write("log.jsonl", "{\"old\":1}\n");
    {
        ResultLog log(file);
        log.append("{\"a\":1}\n");
        log.append("{\"b\":2}\n");
    }
    std::ifstream in(file);
    const std::string all((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(all, "{\"old\":1}\n{\"a\":1}\n{\"b\":2}\n");
    EXPECT_THROW(ResultLog(dir.path()), ResultLogError);
    EXPECT_THROW(ResultLog(dir.path() / "missing" / "log"), ResultLogError);
}

// A host that pauses only when needed, as kwflash's console does.
class PacedHost : public test::RecordingHost {
public:
    bool skipsNeedlessPauses() const override { return true; }
};

std::size_t pauses(const std::vector<std::string>& events) {
    return static_cast<std::size_t>(
        std::count_if(events.begin(), events.end(),
                      [](const std::string& e) { return e.starts_with("pause:"); }));
}

// A library that paces itself is not kept waiting by kwflash; the window pauses as always,
// and never even asks.
TEST(PacingTest, OnlyAHostThatAsksSkipsThePauses) {
    const ImageBuffer image(kTransferLength);
    const auto flash = [&image] { return &image; };

    test::FakeProgrammer selfPaced;
    selfPaced.pauses = false;
    PacedHost console;
    EXPECT_EQ(runDownload(selfPaced, flash, console).outcome, TransferOutcome::Completed);
    EXPECT_EQ(pauses(console.events), 0u);
    EXPECT_EQ(selfPaced.writes.size(), 64u);

    test::FakeProgrammer needsThem; // pauses = true
    PacedHost console2;
    runDownload(needsThem, flash, console2);
    EXPECT_EQ(pauses(console2.events), 64u);

    test::FakeProgrammer noExport;
    noExport.missing = {Operation::BlockPauses};
    PacedHost console3;
    runDownload(noExport, flash, console3);
    EXPECT_EQ(pauses(console3.events), 64u) << "a library without the export is paused";

    test::FakeProgrammer forWindow;
    forWindow.pauses = false;
    test::RecordingHost window;
    runDownload(forWindow, flash, window);
    EXPECT_EQ(pauses(window.events), 64u);
    EXPECT_EQ(std::count(forWindow.calls.begin(), forWindow.calls.end(), "pauses"), 0);

    EXPECT_TRUE(ConsoleHost(stdout, ProgressStyle::Quiet).skipsNeedlessPauses());
}

} // namespace
} // namespace kw::cli
