// kwflash run as a process, as scripts run it: against the stand-in (a programmer that keeps
// its flash in a file) and against the recording test libraries.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "emulator/ChipMemory.h"
#include "image/Crc32.h"
#include "image/Errors.h"
#include "image/IntelHexLoader.h"
#include "image/IntelHexWriter.h"
#include "image/TempDir.h"
#include "programmer/Exports.h"
#include "programmer/TestLibraries.h"
#include "support/HexText.h"
#include "support/Stm8Tools.h"
#include "target/Chip.h"

namespace kw {
namespace {

namespace fs = std::filesystem;
using test::fileBytes;

constexpr int kFlash = kLargestChip.flashSize;
constexpr int kSmallFlash = kStm8s103f2.flashSize;

std::string text(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

std::string fileText(const fs::path& file) {
    return text(fileBytes(file));
}

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

enum class Output { File, ClosedPipe, Terminal };

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// Runs `program` (a path, or a bare name looked up on PATH) in `cwd`; stdout goes to a file,
// a pipe nobody reads, or a terminal, which is then also its input and is typed `typed`.
Result run(const std::vector<std::string>& args, const fs::path& cwd, Output output = Output::File,
           const std::string& program = KW_KWFLASH, const std::string& typed = "") {
    const fs::path outFile = cwd / ".stdout";
    const fs::path errFile = cwd / ".stderr";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    int pipeEnds[2] = {-1, -1};
    int terminal = -1;
    pid_t pid = -1;
    auto child = [&] {
        // A job of its own, as a shell starts it: Ctrl+C from a test library reaches kwflash
        // and its helper, never the test runner.
        ::setpgid(0, 0);
        if (::chdir(cwd.c_str()) != 0)
            ::_exit(127);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, 2);
        if (output == Output::File)
            ::dup2(::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        if (output == Output::ClosedPipe) {
            ::dup2(pipeEnds[1], 1);
            ::close(pipeEnds[0]);
            ::close(pipeEnds[1]);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    };
    if (output == Output::Terminal) {
        pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    } else {
        if (output == Output::ClosedPipe && ::pipe(pipeEnds) != 0)
            return {};
        pid = ::fork();
    }
    if (pid == 0)
        child();
    Result result;
    if (output == Output::ClosedPipe) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
    }
    if (output == Output::Terminal) {
        if (!typed.empty() && ::write(terminal, typed.data(), typed.size()) < 0)
            return {};
        result.out = readAll(terminal); // ends with EIO once the child has gone
        ::close(terminal);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (output == Output::File)
        result.out = text(fileBytes(outFile));
    result.err = text(fileBytes(errFile));
    return result;
}

class KwflashTest : public ::testing::Test {
protected:
    test::TempDir dir;

    void SetUp() override {
        ::setenv("XDG_STATE_HOME", (dir.path() / "state").c_str(), 1);
        // Blocks as fast as the stand-in goes, whatever a settings file beside it says.
        ::setenv("TOLVANEX_STANDIN", "delay=0", 1);
    }

    Result kwflash(const std::vector<std::string>& args, Output output = Output::File,
                   const std::string& typed = "") {
        return run(args, dir.path(), output, KW_KWFLASH, typed);
    }
    static std::string library(const fs::path& folder) {
        return "--library=" + (folder / kLibraryFileName).string();
    }
};

// What srec_cat says a kwflash write leaves on a chip that held `before`: the 128-byte blocks
// holding bytes of the file, with 0x00 where it has none; `before` in every other block.
std::vector<std::uint8_t> writtenBy(const fs::path& hex, std::uint32_t address,
                                    std::vector<std::uint8_t> before) {
    const auto length = static_cast<std::uint32_t>(before.size());
    const auto erased = test::srecBinary(hex, address, length, 0x00);
    const auto filled = test::srecBinary(hex, address, length, 0xFF);
    for (std::size_t block = 0; block < length; block += 128) {
        bool defined = false;
        for (std::size_t i = block; i < block + 128; ++i)
            defined = defined || erased[i] == filled[i]; // a gap reads as each fill
        if (defined)
            std::copy(erased.begin() + static_cast<std::ptrdiff_t>(block),
                      erased.begin() + static_cast<std::ptrdiff_t>(block + 128),
                      before.begin() + static_cast<std::ptrdiff_t>(block));
    }
    return before;
}

// A real toolchain's HEX file in, through the stand-in, and back out in both formats; the HEX
// that kwflash writes is read by srec_cat, not by our own loader.
TEST_F(KwflashTest, WritesReadsAndVerifiesThroughTheStandIn) {
    const fs::path ihx = test::compileStm8Program(dir.path());
    // The stand-in's flash starts erased as it keeps it, 0xFF.
    const auto program =
        writtenBy(ihx, kStm8s103f3.flashBase, std::vector<std::uint8_t>(kFlash, 0xFF));

    // Its output piped into a reader that has gone must not stop it halfway.
    EXPECT_EQ(kwflash({"write", ihx.string()}, Output::ClosedPipe).exitCode, 0);

    dir.write("out.bin", std::string(static_cast<std::size_t>(kFlash) * 2, 'x'));
    const Result readBin = kwflash({"read", "out.bin"});
    EXPECT_EQ(readBin.exitCode, 0) << readBin.err;
    EXPECT_EQ(fileBytes(dir.path() / "out.bin"), program);
    EXPECT_EQ(readBin.out.find('\r'), std::string::npos) << "no bar redraws into a file";
    EXPECT_NE(readBin.out.find("Reading: 256/256 blocks (100%)"), std::string::npos);

    const Result readHex = kwflash({"read", "out.hex", "--quiet"});
    EXPECT_EQ(readHex.exitCode, 0) << readHex.err;
    EXPECT_EQ(readHex.out, "");
    EXPECT_EQ(test::srecBinary(dir.path() / "out.hex", kStm8s103f3.flashBase, kFlash), program);
    EXPECT_EQ(kwflash({"verify", "out.hex"}).exitCode, 0);
    // The compiler's own file verifies too: only the bytes it defines are compared.
    EXPECT_EQ(kwflash({"verify", ihx.string()}).exitCode, 0);

    auto changed = program;
    changed[0x10] ^= 0xFF;
    changed[0x1FFF] ^= 0x01;
    dir.write("changed.bin", text(changed));
    const Result mismatch = kwflash({"verify", "changed.bin"});
    EXPECT_EQ(mismatch.exitCode, 3);
    EXPECT_NE(mismatch.err.find("2 of 8192 bytes differ, the first at 0x8010"), std::string::npos)
        << mismatch.err;
}

// An SDCC program with EEPROM data, through the helper process and the stand-in: written,
// read back whole and compared with srec_cat's view of the file; then protected, refused,
// unlocked and written again, as a user meets a locked board.
TEST_F(KwflashTest, ProgramsTheWholeChipThroughTheStandIn) {
    const fs::path ihx = test::compileStm8Program(dir.path(), test::kStm8EepromProgram, "calib");
    Result r = kwflash({"write", ihx.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Written and verified: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" of EEPROM"), std::string::npos) << r.out;

    r = kwflash({"read", "chip.hex", "--area", "all"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const fs::path chip = dir.path() / "chip.hex";
    EXPECT_EQ(test::srecBinary(chip, kStm8s103f3.eepromBase, 4),
              test::srecBinary(ihx, kStm8s103f3.eepromBase, 4));
    EXPECT_EQ(test::srecBinary(chip, kStm8s103f3.eepromBase, 4),
              (std::vector<std::uint8_t>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(test::srecBinary(chip, kStm8s103f3.flashBase, kFlash),
              writtenBy(ihx, kStm8s103f3.flashBase, std::vector<std::uint8_t>(kFlash, 0xFF)));
    EXPECT_EQ(test::srecBinary(chip, kStm8s103f3.optionBase, 3),
              (std::vector<std::uint8_t>{0x00, 0x00, 0xFF}));

    r = kwflash({"options", "set", "ROP=on"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("ROP        0xAA  on"), std::string::npos) << r.out;
    r = kwflash({"write", ihx.string()});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.err.find("the chip is read-out protected (ROP 0xAA at 0x4800): it refused "
                         "writing block 0"),
              std::string::npos)
        << r.err;
    r = kwflash({"unlock"});
    EXPECT_EQ(r.exitCode, 64) << "no terminal, no --yes";
    // On a terminal it asks; anything but yes leaves the chip as it is.
    r = kwflash({"unlock"}, Output::Terminal, "n\n");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("Erase the chip and remove the protection? [y/N] "), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Nothing was changed."), std::string::npos) << r.out;
    EXPECT_EQ(kwflash({"write", ihx.string()}).exitCode, 4) << "still protected";
    r = kwflash({"unlock"}, Output::Terminal, "y\n");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("ROP        0x00  off"), std::string::npos) << r.out;
    EXPECT_EQ(kwflash({"verify", ihx.string()}).exitCode, 3) << "unlocking erases";
    EXPECT_EQ(kwflash({"write", ihx.string()}).exitCode, 0);
    EXPECT_EQ(kwflash({"verify", ihx.string()}).exitCode, 0);

    // EEPROM data an STM8S003F3 cannot hold stops kwflash before the programmer.
    dir.write("200.bin", std::string(200, '\x11'));
    const std::string blink = (fs::path(KW_EXAMPLES_DIR) / "blink.hex").string();
    r = kwflash({"write", blink, "--eeprom", "200.bin", "--chip", "STM8S003F3"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("does not fit the STM8S003F3's 128 bytes of EEPROM"), std::string::npos)
        << r.err;
}

// On a terminal the bar is redrawn in place and its line ended before the summary.
TEST_F(KwflashTest, DrawsABarOnATerminal) {
    const Result result = kwflash({"read", "out.hex"}, Output::Terminal);
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_NE(result.out.find("\rReading   ["), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("100% 256/256 blocks\r\nRead 8192 bytes"), std::string::npos)
        << result.out;
}

// Started by a bare name through PATH, from another folder, via a symbolic link: the library
// beside the real executable is still the one found.
TEST_F(KwflashTest, FindsTheLibraryBesideItsRealExecutable) {
    fs::create_directories(dir.path() / "links");
    fs::create_directories(dir.path() / "work");
    fs::create_symlink(KW_KWFLASH, dir.path() / "links" / "kwflash");
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (dir.path() / "links").c_str(), 1);
    const Result result = run({"read", "out.bin"}, dir.path() / "work", Output::File, "kwflash");
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(fileBytes(dir.path() / "work" / "out.bin"), std::vector<std::uint8_t>(kFlash, 0xFF));
}

// A raw image defines every byte of its length: its blocks of 128 go out at rising offsets,
// nothing past it; --no-verify reads nothing back.
TEST_F(KwflashTest, SendsTheBlocksOfTheImageOnly) {
    std::vector<std::uint8_t> image(kSmallFlash);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = testlib::patternByte(static_cast<std::int64_t>(i) + 5);
    dir.write("small.bin", text(image));
    testlib::RecordingSession session;
    const Result result = kwflash({"write", "small.bin", "--chip", "stm8s103f2", "--no-verify",
                                   library(testlib::recordingDir())});
    EXPECT_EQ(result.exitCode, 0) << result.err;

    const testlib::Log log = session.log();
    ASSERT_EQ(log.calls.size(), 32u);
    std::vector<std::uint8_t> sent;
    for (std::size_t i = 0; i < log.calls.size(); ++i) {
        EXPECT_EQ(log.calls[i].exportName, "SetFlashData");
        EXPECT_EQ(log.calls[i].offset, static_cast<std::int32_t>(i) * 128);
        sent.insert(sent.end(), log.calls[i].data.begin(), log.calls[i].data.end());
    }
    EXPECT_EQ(sent, image);
}

// Verify reads what the image defines, within the chip's flash: 4096 bytes in 128 reads.
TEST_F(KwflashTest, VerifiesOnlyTheChipsFlash) {
    std::vector<std::uint8_t> flash(kSmallFlash);
    for (std::size_t i = 0; i < flash.size(); ++i)
        flash[i] = testlib::patternByte(static_cast<std::int64_t>(i));
    dir.write("flash.bin", text(flash));
    testlib::RecordingSession session;
    const Result result =
        kwflash({"verify", "flash.bin", "--chip=STM8S103F2", library(testlib::recordingDir())});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(session.log().calls.size(), 128u);
}

// Every chip by its marking or the window's spelling, in any letter case; its flash size
// decides what fits.
TEST_F(KwflashTest, TakesEveryChipAsUsersSpellIt) {
    std::vector<std::uint8_t> flash(kFlash);
    for (std::size_t i = 0; i < flash.size(); ++i)
        flash[i] = testlib::patternByte(static_cast<std::int64_t>(i));
    dir.write("flash.bin", text(flash));
    testlib::RecordingSession session;
    const auto verify = [&](const std::string& chip) {
        return kwflash({"verify", "flash.bin", "--chip=" + chip, library(testlib::recordingDir())});
    };
    for (const char* chip : {"STM8S003F3", "stm8s003f3", "STM8S903F3", "stm8s903k3", "Stm8s001J3",
                             "STM8SF103F3", "stm8sf103f3", "stm8s103f3"}) {
        const Result result = verify(chip);
        EXPECT_EQ(result.exitCode, 0) << chip << ": " << result.err;
    }
    for (const char* chip : {"stm8sf103f2", "STM8S103f2"}) {
        const Result result = verify(chip);
        EXPECT_EQ(result.exitCode, 2) << chip;
        EXPECT_NE(result.err.find("STM8S103F2's 4096 bytes"), std::string::npos) << result.err;
    }
    // The window's spelling belongs to the window's chips only.
    for (const char* chip : {"STM8SF003F3", "STM8S105", "", "STM8S003F3 "}) {
        const Result result = verify(chip);
        EXPECT_EQ(result.exitCode, 64) << chip;
        EXPECT_NE(result.err.find("use one of STM8S103F2, STM8S103F3, STM8S003F3, STM8S903F3, "
                                  "STM8S903K3, STM8S001J3"),
                  std::string::npos)
            << result.err;
    }
    const Result help = kwflash({"--help"});
    for (const Chip* chip : kChips)
        EXPECT_NE(help.out.find(chip->name), std::string::npos) << chip->name;
}

// An image that cannot be used stops kwflash before the library is even loaded.
TEST_F(KwflashTest, RefusesImagesThatCannotBeProgrammedWhole) {
    dir.write("empty.hex", "");
    dir.write("bad.hex", ":10800000G0\n");
    dir.write("long.bin", std::string(kSmallFlash + 1, '\0'));
    // From 0x8000, a byte at 0x9000 lies past the small chip's flash.
    dir.write("past.hex", toIntelHex(std::vector<std::uint8_t>{1, 2}, 0x8FFF));
    // With a record below 0x8000 the addresses are offsets: 0x8000 is far past any flash.
    dir.write("mixed.hex", toIntelHex(std::vector<std::uint8_t>{1}, 0x10) +
                               toIntelHex(std::vector<std::uint8_t>{2}, 0x8000));
    ::mkfifo((dir.path() / "fifo.bin").c_str(), 0600);
    const std::vector<std::vector<std::string>> calls = {
        {"write", "missing.hex"},
        {"write", "empty.hex"},
        {"verify", "bad.hex"},
        {"write", "long.bin", "--chip", "STM8S103F2"},
        {"write", "past.hex", "--chip", "STM8S103F2"},
        {"write", "mixed.hex"},
        {"write", "fifo.bin"},
    };
    testlib::RecordingSession session;
    for (auto call : calls) {
        call.push_back(library(testlib::recordingDir()));
        const Result result = kwflash(call);
        EXPECT_EQ(result.exitCode, 2) << call[1] << ": " << result.err;
        EXPECT_NE(result.err.find(call[1]), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    EXPECT_EQ(session.log().loads, 0);
}

// A file with EEPROM and option bytes is written whole or not at all: a library that cannot
// write EEPROM gets no flash block either.
TEST_F(KwflashTest, WritesNothingThroughALibraryThatCannotWriteEeprom) {
    dir.write("both.hex", hexRecord(0x8000, {0x82}) + hexRecord(0x4000, {1, 2, 3, 4}) +
                              hexRecord(0x4801, {0x00, 0xFF}) + hexEndOfFile());
    testlib::RecordingSession session;
    const Result both = kwflash({"write", "both.hex", library(testlib::recordingDir())});
    EXPECT_EQ(both.exitCode, 1);
    EXPECT_EQ(both.err, "kwflash: this programmer cannot write EEPROM (its library TOLVANEX.dll "
                        "has no SetEepromData export)\n");
    EXPECT_TRUE(session.log().calls.empty());
}

// Every way the programmer can fail has its exit code and says what happened; a read that
// fails leaves the file it would have replaced alone.
TEST_F(KwflashTest, ReportsEachProgrammerFailureWithItsExitCode) {
    dir.write("image.hex", toIntelHex(std::vector<std::uint8_t>(1024, 0x42), 0x8000));
    const auto errors = [&](testlib::RecordingSession& session, const fs::path& folder,
                            std::vector<std::string> args) {
        session.clearLog();
        args.push_back(library(folder));
        return kwflash(args);
    };
    testlib::RecordingSession session;

    Result r = errors(session, dir.path() / "nowhere", {"write", "image.hex"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("nowhere/TOLVANEX.dll"), std::string::npos) << r.err;
    r = errors(session, testlib::brokenDir(), {"read", "out.hex"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("broken/TOLVANEX.dll"), std::string::npos) << r.err;
    EXPECT_EQ(errors(session, testlib::noSetDir(), {"write", "image.hex"}).exitCode, 1);
    EXPECT_EQ(errors(session, testlib::noGetDir(), {"verify", "image.hex"}).exitCode, 1);

    session.setResult(1);
    r = errors(session, testlib::recordingDir(), {"write", "image.hex"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no programmer found"), std::string::npos) << r.err;
    EXPECT_EQ(session.log().calls.size(), 1u);

    session.setResult(0);
    session.failCall(5, 7);
    r = errors(session, testlib::errorTextDir(), {"write", "image.hex"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.err, "kwflash: the programmer failed writing block 5 (0x8280-0x82FF) with code 7: "
                     "测试库错误 7: 说明\n");
    EXPECT_EQ(session.log().calls.size(), 6u) << "nothing sent or read after the failure";

    // A negative result fails a read-back.
    dir.write("keep.bin", "old");
    session.failCall(100, -2);
    r = errors(session, testlib::recordingDir(), {"read", "keep.bin"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.err.find("reading block 100 (0x8C80-0x8C9F) with code -2"), std::string::npos)
        << r.err;
    EXPECT_EQ(text(fileBytes(dir.path() / "keep.bin")), "old");
}

TEST_F(KwflashTest, AnswersAWrongCallWithTheUsage) {
    const std::vector<std::vector<std::string>> calls = {
        {},
        {"flash", "a.hex"},
        {"write"},
        {"write", "a.hex", "b.hex"},
        {"write", "a.srec"},
        {"write", "a.hex", "--chip", "STM8S105"},
        {"write", "a.hex", "--chip"},
        {"read", "a.hex", "--no-verify"},
        {"verify", "a.hex", "--fast"},
        {"write", "a.hex", "--force"},
        {"write", "a.hex", "--swim", "fast"},
        {"probe", "a.hex"},
        {"read", "a.hex", "--all"},
        {"write", "a.hex", "--all", "--probe", "1-2"},
        {"write", "a.hex", "--probe="},
        {"list", "--probe", "1-2"},
    };
    testlib::RecordingSession session;
    for (auto call : calls) {
        call.push_back(library(testlib::recordingDir()));
        const Result result = kwflash(call);
        EXPECT_EQ(result.exitCode, 64) << result.err;
        EXPECT_NE(result.err.find("\nusage: kwflash "), std::string::npos) << result.err;
    }
    EXPECT_EQ(session.log().loads, 0);

    const Result help = kwflash({"write", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("exit codes:"), std::string::npos);
}

// A file that is not exactly what its author meant is refused, naming the line; srec_cat,
// given the same file, either refuses it too or reads other bytes than a plain 16-bit reading
// takes, so programming it as read would put something unintended on the chip.
TEST_F(KwflashTest, RefusesHexFilesThatAreNotWhatTheirAuthorMeant) {
    const std::string blink = fileText(fs::path(KW_EXAMPLES_DIR) / "blink.hex");
    const std::string good = hexRecord(0x8000, {1, 2, 3, 4}) + hexRecord(0x8004, {5, 6});
    std::string flipped = blink;
    ASSERT_EQ(flipped.substr(9, 2), "82");
    flipped[10] = '3'; // its first data byte becomes 0x83
    struct Case {
        const char* name;
        std::string content;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"flipped.hex", flipped, "line 1: checksum 0x28, expected 0x27"},
        {"colon.hex", good + "X" + hexLine(0x8010, {7}).substr(1) + "\n" + hexEndOfFile(),
         "line 3: does not start with ':'"},
        {"short.hex", good + hexLine(0x8010, {7, 8}).substr(0, 13) + "\n" + hexEndOfFile(),
         "line 3: a record of 2 bytes is 15 characters long, this line 13"},
        {"linear.hex", hexRecord(0, {0x00, 0x01}, 4) + good + hexEndOfFile(),
         "line 1: an extended linear address of 0x0001"},
        {"segment.hex", hexRecord(0, {0x10, 0x00}, 2) + good + hexEndOfFile(),
         "line 1: an extended segment address of 0x1000"},
        {"overlap.hex", good + hexRecord(0x8002, {9}) + hexEndOfFile(),
         "line 3: gives 0x8002 the value 0x09, line 1 gave it 0x03"},
        {"type.hex", good + hexRecord(0x8010, {7}, 6) + hexEndOfFile(),
         "line 3: unknown record type 0x06"},
        {"after.hex", good + hexEndOfFile() + "\r\n" + hexRecord(0x8010, {7}),
         "line 5: a record after the end-of-file record of line 3"},
    };
    testlib::RecordingSession session;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir.write(c.name, c.content);
        const Result result = kwflash({"write", c.name, library(testlib::recordingDir())});
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_NE(
            result.err.find(std::string("\"") + c.name + "\" is not valid Intel HEX: " + c.error),
            std::string::npos)
            << result.err;

        const HexLoadResult lenient = loadIntelHexFile(file, kFlash);
        const auto window = lenient.image->bytes().first(kFlash);
        try {
            const auto srec = test::srecBinary(file, lenient.base, kFlash);
            EXPECT_NE(srec, std::vector<std::uint8_t>(window.begin(), window.end()))
                << "srec_cat reads the file as the window does";
        } catch (const std::runtime_error&) {
            // srec_cat refused it.
        }
    }
    EXPECT_EQ(session.log().loads, 0);

    // What is harmless stays accepted: zero address records, start addresses, a byte given
    // twice the same value, blank lines.
    dir.write("harmless.hex", hexRecord(0, {0, 0}, 4) + hexRecord(0, {0, 0}, 2) + "\r\n" + good +
                                  hexRecord(0x8002, {3}) + hexRecord(0, {0, 0, 0x80, 0}, 5) +
                                  hexRecord(0, {0, 0, 0x80, 0}, 3) + hexEndOfFile() + "\n");
    const Result harmless =
        kwflash({"write", "harmless.hex", "--no-verify", library(testlib::recordingDir())});
    EXPECT_EQ(harmless.exitCode, 0) << harmless.err;
    const auto calls = session.log().calls;
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(std::vector<std::uint8_t>(calls[0].data.begin(), calls[0].data.begin() + 7),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 0x00}));
}

// An image without a single data byte would erase the chip.
TEST_F(KwflashTest, RefusesImagesWithoutData) {
    dir.write("blank.hex", "\n\r\n\n");
    dir.write("eof.hex", hexEndOfFile());
    dir.write("zero.hex", hexRecord(0x8000, {}) + hexEndOfFile());
    dir.write("huge.hex", ":00000000" + std::string(10u << 20, '0') + "\n" + hexEndOfFile());
    testlib::RecordingSession session;
    for (const char* name : {"blank.hex", "eof.hex", "zero.hex", "huge.hex"}) {
        const Result result = kwflash({"write", name, library(testlib::recordingDir())});
        EXPECT_EQ(result.exitCode, 2) << name << ": " << result.err;
        EXPECT_NE(result.err.find(name), std::string::npos) << result.err;
    }
    EXPECT_EQ(session.log().loads, 0);
}

// The output is never followed through a link: a link planted beside it cannot make kwflash
// replace the file it names. Read-only files need --force; a folder that cannot take the
// file is found before the chip is read.
TEST_F(KwflashTest, ReplacesTheOutputNameItselfAndOnlyWhenAllowed) {
    const fs::path secret = dir.write("secret.hex", "keep");
    fs::create_symlink("secret.hex", dir.path() / "link.hex");
    testlib::RecordingSession session;
    const auto read = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "read");
        args.push_back(library(testlib::recordingDir()));
        return kwflash(args);
    };

    Result r = read({"link.hex"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(fileText(secret), "keep");
    EXPECT_FALSE(fs::is_symlink(dir.path() / "link.hex"));
    EXPECT_EQ(fileText(dir.path() / "link.hex").substr(0, 3), ":10");

    dir.write("locked.bin", "old");
    fs::permissions(dir.path() / "locked.bin", fs::perms::owner_read);
    r = read({"locked.bin"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("\"locked.bin\": it is read-only (--force replaces it)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(fileText(dir.path() / "locked.bin"), "old");
    EXPECT_EQ(read({"locked.bin", "--force"}).exitCode, 0);
    EXPECT_EQ(fileBytes(dir.path() / "locked.bin").size(), static_cast<std::size_t>(kFlash));

    session.clearLog();
    r = read({"missing/out.bin"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("cannot write \"missing/out.bin\": No such file or directory"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(session.log().loads, 0) << "the chip was read for a file that cannot be saved";
}

// Names up to the folder's limit work although the temporary name gets a suffix; a temporary
// file left by a writer that was killed is removed, one of a live process is not.
TEST_F(KwflashTest, OutputNamesUpToTheLimitAndStaleTemporaryFiles) {
    testlib::RecordingSession session;
    for (std::size_t length : {230u, 254u, 255u}) {
        const std::string name = std::string(length - 4, 'n') + ".bin";
        const Result r = kwflash({"read", name, library(testlib::recordingDir())});
        EXPECT_EQ(r.exitCode, 0) << length << ": " << r.err;
        EXPECT_TRUE(fs::is_regular_file(dir.path() / name)) << length;
    }

    pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string stale = ".out.hex.tmp-" + std::to_string(gone) + "-0000000012345678";
    const std::string live = ".out.hex.tmp-" + std::to_string(::getpid()) + "-0000000012345678";
    dir.write(stale, "half");
    dir.write(live, "busy");
    const Result r = kwflash({"read", "out.hex", library(testlib::recordingDir())});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(fs::exists(dir.path() / stale));
    EXPECT_TRUE(fs::exists(dir.path() / live));
}

// Ctrl+C or SIGTERM in the middle of a write: the block in flight ends, nothing more is sent,
// the library is released (which relocks and resets a real chip) and the exit code tells
// which signal came. A second Ctrl+C ends kwflash at once.
TEST_F(KwflashTest, AnInterruptedWriteStopsAfterTheBlockInFlight) {
    dir.write("image.hex", toIntelHex(std::vector<std::uint8_t>(4000, 0x42), 0x8000));
    testlib::RecordingSession session;
    for (const int signal : {SIGINT, SIGTERM}) {
        session.clearLog();
        session.signalDuringCall(20, signal);
        const Result r = kwflash({"write", "image.hex", library(testlib::recordingDir())});
        EXPECT_EQ(r.exitCode, 128 + signal);
        EXPECT_EQ(r.err,
                  "kwflash: interrupted after block 21 of 32; the chip holds a partial image\n");
        const testlib::Log log = session.log();
        EXPECT_EQ(log.calls.size(), 21u);
        EXPECT_EQ(log.unloads, 1);
    }

    session.clearLog();
    session.signalDuringCall(5, SIGINT, 2);
    const Result twice = kwflash({"write", "image.hex", library(testlib::recordingDir())});
    EXPECT_EQ(twice.exitCode, 128 + SIGINT) << "ended by the signal";
    EXPECT_EQ(twice.err, "");
    EXPECT_EQ(session.log().calls.size(), 6u);

    // A read-back stops the same way.
    session.clearLog();
    session.signalDuringCall(7, SIGINT);
    const Result verifying = kwflash({"verify", "image.hex", library(testlib::recordingDir())});
    EXPECT_EQ(verifying.exitCode, 130);
    EXPECT_EQ(verifying.err, "kwflash: interrupted after block 8 of 125; nothing was verified\n");
    EXPECT_EQ(session.log().calls.size(), 8u);
}

// A library that ends its process, crashes or hangs in the middle of a transfer takes only
// the helper process with it, and never passes for success.
TEST_F(KwflashTest, ALibraryThatStopsDuringATransferIsAFailure) {
    dir.write("image.hex", toIntelHex(std::vector<std::uint8_t>(100, 0x42), 0x8000));
    testlib::RecordingSession session;
    session.exitDuringCall(3, 0);
    Result r = kwflash({"write", "image.hex", library(testlib::recordingDir())});
    EXPECT_EQ(r.exitCode, 70);
    EXPECT_NE(r.err.find("the programmer library stopped"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("exited with status 0"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    r = kwflash({"read", "out.bin", library(testlib::recordingDir())});
    EXPECT_EQ(r.exitCode, 70);
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find("out.bin"), std::string::npos)
            << entry.path();

    ::setenv("KALIWIRE_PROGRAMMER_TIMEOUT", "1", 1);
    const std::pair<fs::path, std::string> stops[] = {
        {testlib::segfaultDir(), "killed by signal 11 (Segmentation fault)"},
        {testlib::exit3Dir(), "exited with status 3"},
        {testlib::hangDir(), "did not answer within 1 s"}};
    for (const auto& [folder, reason] : stops) {
        r = kwflash({"write", "image.hex", library(folder)});
        EXPECT_EQ(r.exitCode, 70) << folder;
        EXPECT_NE(r.err.find("the programmer library stopped"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
    }
    ::unsetenv("KALIWIRE_PROGRAMMER_TIMEOUT");
}

// Escape codes and line breaks in a file name or a library's text reach the terminal escaped:
// one line per error, nothing the terminal would obey.
TEST_F(KwflashTest, PrintsFileNamesAndLibraryTextsEscaped) {
    Result r = kwflash({"write", "a\x1b[2J\nb.hex"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("\"a\\x1B[2J\\x0Ab.hex\""), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

    dir.write("image.hex", toIntelHex(std::vector<std::uint8_t>(100, 0x42), 0x8000));
    testlib::RecordingSession session;
    session.failCall(0, 7);
    session.setErrorText("bad\x1b]0;title\x07 \xc2\x9b"
                         "31m \xff probe \xe6\xb5\x8b");
    r = kwflash({"write", "image.hex", library(testlib::errorTextDir())});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.err.find(": bad\\x1B]0;title\\x07 \\xC2\\x9B31m \\xFF probe \xe6\xb5\x8b\n"),
              std::string::npos)
        << r.err;
}

// The library's reports reach the terminal made safe, line by line; the session's follows a
// transfer.
TEST_F(KwflashTest, PrintsTheLibrarysReportsEscaped) {
    testlib::RecordingSession session;
    session.setErrorText("probe \x1b[2J one\nprobe two\n");
    Result r = kwflash({"probe", library(testlib::sessionDir())});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "probe \\x1B[2J one\nprobe two\n");

    session.setErrorText("");
    dir.write("image.bin", std::string(8192, '\x42'));
    r = kwflash({"write", "image.bin", "--no-verify", library(testlib::sessionDir())});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Programmer: test library report on session\n"), std::string::npos)
        << r.out;
}

// The checksum a technician compares with the build's: over the chip's whole flash image,
// the file's bytes and the erased state (0x00) elsewhere, printed before anything is
// written; the EEPROM's image gets its own.
TEST_F(KwflashTest, PrintsTheImagesCrcBeforeWritingAndWithoutAProbe) {
    std::vector<std::uint8_t> program(112);
    for (std::size_t i = 0; i < program.size(); ++i)
        program[i] = static_cast<std::uint8_t>(i * 7 + 1);
    dir.write("program.bin", text(program));
    auto flash = program;
    flash.resize(kFlash, 0x00);
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "CRC-32 0x%08X of the flash image: 8192 bytes "
                  "0x8000-0x9FFF, 0x00 where the file has no data\n",
                  crc32(flash));

    const Result crc = kwflash({"crc", "program.bin", "--library=/nowhere/TOLVANEX.dll"});
    EXPECT_EQ(crc.exitCode, 64) << "crc takes no programmer";
    const Result sum = kwflash({"crc", "program.bin"});
    EXPECT_EQ(sum.exitCode, 0) << sum.err;
    EXPECT_NE(sum.out.find(expected), std::string::npos) << sum.out;

    const Result write = kwflash({"write", "program.bin"});
    EXPECT_EQ(write.exitCode, 0) << write.err;
    const auto at = write.out.find(expected);
    EXPECT_NE(at, std::string::npos) << write.out;
    EXPECT_LT(at, write.out.find("Writing")) << write.out;

    dir.write("data.bin", "\x01\x02\x03");
    std::vector<std::uint8_t> eeprom{1, 2, 3};
    eeprom.resize(128, 0x00);
    std::snprintf(expected, sizeof expected,
                  "CRC-32 0x%08X of the EEPROM image: 128 bytes 0x4000-0x407F", crc32(eeprom));
    const Result both =
        kwflash({"crc", "program.bin", "--eeprom", "data.bin", "--chip=STM8S003F3"});
    EXPECT_EQ(both.exitCode, 0) << both.err;
    EXPECT_NE(both.out.find(expected), std::string::npos) << both.out;
}

// FIELDS of each record of a JSON-lines file, tab-separated, as jq reads them: the way a
// technician reads the log.
std::string jsonFields(const fs::path& file, const std::string& fields) {
    const std::string command =
        "jq -e -r '[" + fields + "] | map(tostring) | join(\"\\t\")' " + file.string() + " 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "popen failed";
    std::string out = readAll(::fileno(pipe));
    if (::pclose(pipe) != 0)
        out = "jq failed: " + out;
    return out;
}

// --json gives the result as one object on standard output and nothing else.
TEST_F(KwflashTest, PrintsOneJsonObjectPerBoardInsteadOfProgress) {
    dir.write("image.bin", std::string(112, '\x42'));
    const Result r = kwflash({"write", "image.bin", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    dir.write("out.jsonl", r.out);
    EXPECT_EQ(jsonFields(dir.path() / "out.jsonl",
                         ".result, .code, .chip, .probe.port, .serial, (.seconds > 0)"),
              "PASS\t0\tSTM8S103F3\tnull\tnull\ttrue\n");
    EXPECT_NE(r.err.find("CRC-32 0x"), std::string::npos) << "the start-up lines go aside";
}

// Serial numbers, logs and loops are checked against the chip before any probe is touched.
TEST_F(KwflashTest, RefusesSerialNumbersWhereNoneCanBeWritten) {
    dir.write("image.bin", std::string(112, '\x42'));
    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    const std::vector<Case> cases = {
        {{"--serial-at", "0x7000", "--serial-start", "1"}, "do not lie within the STM8S103F3's"},
        {{"--serial-at", "0x9FFE", "--serial-start", "1"}, "4 bytes of le32 at 0x9FFE"},
        {{"--serial-at", "0x9000", "--serial-start", "1", "--chip", "stm8s103f2"},
         "flash (0x8000-0x8FFF)"},
        {{"--serial-at", "0x47FE", "--serial-start", "1"}, "in the option bytes"},
        {{"--serial-at", "0x8000"}, "need --serial-at ADDR and --serial-start N"},
        {{"--serial-start", "5"}, "need --serial-at ADDR and --serial-start N"},
        {{"--serial-at", "0x8000", "--serial-start", "100000000", "--serial-format", "bcd"},
         "does not fit bcd"},
        {{"--serial-at", "0x8000", "--serial-start", "1", "--serial-format", "le16"},
         "use le32, be32, bcd or ascii:WIDTH"},
        {{"--serial-at", "0x8000", "--serial-start", "1", "--serial-step", "0"},
         "not a number above 0"},
    };
    testlib::RecordingSession session;
    for (const Case& c : cases) {
        std::vector<std::string> args{"write", "image.bin"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(library(testlib::recordingDir()));
        const Result r = kwflash(args);
        EXPECT_EQ(r.exitCode, 64) << c.error;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    }
    for (const char* option : {"--loop", "--json", "--log=x.jsonl"}) {
        const Result r = kwflash({"read", "out.bin", option});
        EXPECT_EQ(r.exitCode, 64) << option;
    }
    EXPECT_EQ(session.log().loads, 0);
}

// A bench of boards that the test library puts on the probe and takes off again.
class KwflashBenchTest : public KwflashTest {
protected:
    fs::path bench;
    void SetUp() override {
        KwflashTest::SetUp();
        bench = dir.path() / "bench";
        fs::create_directories(bench);
        ::setenv("KW_BOARDS_DIR", bench.c_str(), 1);
        std::vector<std::uint8_t> program(112);
        for (std::size_t i = 0; i < program.size(); ++i)
            program[i] = static_cast<std::uint8_t>(i * 3 + 1);
        dir.write("image.bin", text(program));
    }
    void TearDown() override {
        ::unsetenv("KW_BOARDS_DIR");
        ::unsetenv("KWFLASH_TEST_KILL_AT");
    }
    void plan(const std::string& boards) { dir.write("bench/plan", boards); }
    Result loop(std::vector<std::string> args) {
        args.insert(args.begin(), {"write", "image.bin", "--loop"});
        args.push_back(std::string("--library=") + KW_BOARDS_LIBRARY);
        return kwflash(args);
    }
    // The le32 serial number at 0x9FFC on board N.
    std::uint32_t serialOn(int board) {
        const auto flash = fileBytes(bench / ("board-" + std::to_string(board) + ".bin"));
        if (flash.size() != static_cast<std::size_t>(kFlash))
            return 0;
        return static_cast<std::uint32_t>(flash[0x1FFC] | flash[0x1FFD] << 8 | flash[0x1FFE] << 16 |
                                          flash[0x1FFF] << 24);
    }
};

TEST_F(KwflashBenchTest, ProgramsBoardAfterBoardWithSerialNumbersAndALog) {
    plan("pass\npass\nfail\npass\n");
    const std::vector<std::string> serials = {"--serial-at", "0x9FFC",         "--serial-start",
                                              "1000",        "--serial-state", "serials.state",
                                              "--log",       "log.jsonl"};
    const Result r = loop(serials);
    EXPECT_EQ(r.exitCode, 4) << "the failed board's code\n" << r.out << r.err;
    std::size_t at = 0;
    for (const char* line :
         {"CRC-32 0x", "Serial numbers: le32 at 0x9FFC, next 1000",
          "\nPASS  board 1  serial 1000  ", "\nPASS  board 2  serial 1001  ",
          "\nFAIL  board 3  serial 1002  ", "with code 6: programming timeout on the bench's board",
          "\nPASS  board 4  serial 1002  ", "\nTotals: 3 passed, 1 failed, "}) {
        at = r.out.find(line, at);
        EXPECT_NE(at, std::string::npos) << line << " in order in\n" << r.out;
    }
    EXPECT_EQ(serialOn(0), 1000u);
    EXPECT_EQ(serialOn(1), 1001u);
    EXPECT_EQ(serialOn(3), 1002u) << "the failed board's number goes to the next board";
    const auto flash = fileBytes(bench / "board-0.bin");
    EXPECT_EQ(text({flash.begin(), flash.begin() + 112}), fileText(dir.path() / "image.bin"));

    EXPECT_EQ(jsonFields(dir.path() / "log.jsonl",
                         ".result, .serial, .code, .library_code, .probe.port, .probe.serial"),
              "PASS\t1000\t0\t0\t1-4\tBENCH0001\n"
              "PASS\t1001\t0\t0\t1-4\tBENCH0001\n"
              "FAIL\t1002\t4\t6\t1-4\tBENCH0001\n"
              "PASS\t1002\t0\t0\t1-4\tBENCH0001\n");
    EXPECT_EQ(jsonFields(dir.path() / "log.jsonl", ".library_text | @json"),
              "\"\"\n\"\"\n\"programming timeout on the bench's board \\\"x\\\" \\\\\"\n\"\"\n")
        << "quotes and a backslash come through whole (the line break as a space)";
}

// Killed between verifying a board and recording its number, kwflash may have left that
// number on the board: the next run skips it, says so, and no two boards carry one number.
TEST_F(KwflashBenchTest, ACrashAfterProgrammingNeverPutsANumberOnTwoBoards) {
    plan("pass\npass\npass\n");
    const std::vector<std::string> serials = {"--serial-at", "0x9FFC", "--serial-start",
                                              "7",           "--log",  "log.jsonl"};
    ::setenv("KWFLASH_TEST_KILL_AT", "verified", 1);
    const Result killed = loop(serials);
    ::unsetenv("KWFLASH_TEST_KILL_AT");
    EXPECT_EQ(killed.exitCode, 128 + SIGKILL) << killed.out << killed.err;
    EXPECT_EQ(serialOn(0), 7u);
    EXPECT_EQ(fileText(dir.path() / "log.jsonl"), "") << "the board's record was not written";

    const Result again = loop(serials);
    EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("serial number 7 was taken by a kwflash that ended before "
                             "recording its board: skipped, never given again"),
              std::string::npos)
        << again.out;
    EXPECT_EQ(serialOn(1), 8u);
    EXPECT_EQ(serialOn(2), 9u);
    EXPECT_EQ(jsonFields(dir.path() / "log.jsonl", ".serial, .skipped_serials"),
              "8\t[7]\n9\tnull\n");
    // The default state file: one per image in the user's state folder.
    bool found = false;
    for (const auto& entry : fs::directory_iterator(dir.path() / "state" / "kaliwire" / "serials"))
        found = found || entry.path().filename().string().starts_with("image.bin-");
    EXPECT_TRUE(found);
}

// A library that cannot say whether a chip is there cannot drive a loop.
TEST_F(KwflashBenchTest, RefusesALoopWithALibraryThatCannotSeeChips) {
    dir.write("image.hex", toIntelHex(std::vector<std::uint8_t>(100, 0x42), 0x8000));
    testlib::RecordingSession session;
    const Result r = kwflash({"write", "image.hex", "--loop", library(testlib::recordingDir())});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot tell whether a chip is on the probe"), std::string::npos) << r.err;
    EXPECT_TRUE(session.log().calls.empty()) << "nothing written";
}

// The ST-LINK library over the emulated probe (its stand-in libusb), as a user with hardware
// runs kwflash first: `probe` on a working setup, without a probe, without permission and
// with a protected chip; then a write at the speed asked for.
class KwflashStlinkTest : public KwflashTest {
protected:
    void SetUp() override {
        KwflashTest::SetUp();
        ::setenv("LD_LIBRARY_PATH", KW_EMU_USB_DIR, 1);
        ::setenv("KW_EMU_MEMORY", (dir.path() / "chip.bin").c_str(), 1);
        ::unsetenv("KW_EMU_FAULTS");
        ::unsetenv("TOLVANEX_STLINK_LOG");
    }
    void TearDown() override {
        for (const char* name :
             {"LD_LIBRARY_PATH", "KW_EMU_MEMORY", "KW_EMU_FAULTS", "TOLVANEX_STLINK_LOG"})
            ::unsetenv(name);
    }
    Result stlink(std::vector<std::string> args, const char* faults = nullptr) {
        if (faults != nullptr)
            ::setenv("KW_EMU_FAULTS", faults, 1);
        else
            ::unsetenv("KW_EMU_FAULTS");
        args.push_back(std::string("--library=") + KW_STLINK_LIBRARY);
        return kwflash(args);
    }
};

TEST_F(KwflashStlinkTest, ProbeReportsWhatAUserNeedsToKnow) {
    const Result normal = stlink({"probe"});
    EXPECT_EQ(normal.exitCode, 0) << normal.err;
    for (const char* part :
         {"1-2  ST-LINK/V2 (0483:3748)", "firmware V2 J37 S7  SWIM capable",
          "Target voltage: 3.30 V", "SWIM high speed", "Read-out protection (ROP, 0x4800): off",
          "(UBC, 0x4801): 0 of the first", "Flash reads back: yes"})
        EXPECT_NE(normal.out.find(part), std::string::npos) << part << " in\n" << normal.out;

    const Result none = stlink({"probe"}, "no-probe");
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.out.find("No ST-LINK on the USB bus"), std::string::npos) << none.out;

    const Result denied = stlink({"probe"}, "access");
    EXPECT_EQ(denied.exitCode, 1);
    EXPECT_NE(denied.out.find("1-2  ST-LINK/V2"), std::string::npos) << denied.out;
    EXPECT_NE(denied.out.find("sudo make install-udev"), std::string::npos) << denied.out;

    const Result locked = stlink({"probe"}, "rop");
    EXPECT_EQ(locked.exitCode, 4);
    EXPECT_NE(locked.out.find("(ROP, 0x4800): on (0xAA)"), std::string::npos) << locked.out;
    EXPECT_NE(locked.err.find("code 4"), std::string::npos) << locked.err;

    // A library that cannot describe its probes says so.
    const Result standIn = kwflash({"probe", library(testlib::recordingDir())});
    EXPECT_EQ(standIn.exitCode, 1);
    EXPECT_EQ(standIn.err, "kwflash: this programmer library cannot describe its probes\n");
}

TEST_F(KwflashStlinkTest, WritesAtTheSpeedAskedForAndSaysWhichItUsed) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(kFlash));
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    dir.write("image.bin", text(image));
    ::setenv("TOLVANEX_STLINK_LOG", "2", 1);
    const Result low = stlink({"write", "image.bin", "--swim", "low"});
    EXPECT_EQ(low.exitCode, 0) << low.err;
    EXPECT_NE(low.out.find("Programmer: ST-LINK/V2 (0483:3748), firmware V2 J37 S7, SWIM low "
                           "speed (asked for)"),
              std::string::npos)
        << low.out;
    // The trace for a bug report: every command and its reply.
    EXPECT_NE(low.err.find("TOLVANEX.dll: > F4 09"), std::string::npos);
    EXPECT_NE(low.err.find("TOLVANEX.dll: < 00 00 00 00"), std::string::npos);

    ::unsetenv("TOLVANEX_STLINK_LOG");
    const Result back = stlink({"verify", "image.bin"});
    EXPECT_EQ(back.exitCode, 0) << back.err;
    EXPECT_NE(back.out.find("SWIM high speed"), std::string::npos) << back.out;
    EXPECT_EQ(back.err, "");

    // Only a library that takes the wish is used with it.
    const Result refused =
        kwflash({"verify", "image.bin", "--swim=high", library(testlib::recordingDir())});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("SetProgrammerOption"), std::string::npos) << refused.err;
}

// kwflash started in the background, as in a terminal of its own, while the test swaps the
// boards under it.
class Background {
public:
    Background(const std::vector<std::string>& args, const fs::path& cwd) : cwd_(cwd) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            if (::chdir(cwd.c_str()) != 0)
                ::_exit(127);
            ::dup2(::open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            ::dup2(::open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            std::vector<char*> argv{const_cast<char*>(KW_KWFLASH)};
            for (const auto& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Background() {
        if (pid_ > 0)
            finish(SIGKILL);
    }
    // Waits until standard output holds `text` `count` times; false after a minute, which
    // only a hang takes.
    bool waitFor(const std::string& text, int count = 1) {
        for (int i = 0; i < 6000; ++i) {
            const std::string out = fileText(cwd_ / ".stdout");
            int seen = 0;
            for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
                ++seen;
            if (seen >= count)
                return true;
            ::usleep(10000);
        }
        return false;
    }
    // Ends it with `signal`, as Ctrl+C does, and collects what it printed.
    Result finish(int signal) {
        ::kill(-pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        Result result;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = fileText(cwd_ / ".stdout");
        result.err = fileText(cwd_ / ".stderr");
        return result;
    }

private:
    fs::path cwd_;
    pid_t pid_ = -1;
};

// A technician's run on the emulated probe: three board swaps and one board that stops
// answering while it is programmed, each board found by the library's look for a chip.
TEST_F(KwflashStlinkTest, LoopsOverBoardsSwappedOnTheProbe) {
    const fs::path board = dir.path() / "board";
    ::setenv("KW_EMU_BOARD_FILE", board.c_str(), 1);
    const auto put = [&](const std::string& line) {
        dir.write("board.new", line + "\n");
        fs::rename(dir.path() / "board.new", board);
    };
    std::vector<std::uint8_t> program(112);
    for (std::size_t i = 0; i < program.size(); ++i)
        program[i] = static_cast<std::uint8_t>(i * 5 + 2);
    dir.write("image.bin", text(program));
    put("none");
    Background loop({"write", "image.bin", "--loop", "--serial-start=1", "--serial-at=0x9FF0",
                     "--serial-format=be32", "--log=log.jsonl",
                     std::string("--library=") + KW_STLINK_LIBRARY},
                    dir.path());
    ASSERT_TRUE(loop.waitFor("Waiting for a board"));
    const char* boards[] = {"A", "B", "C target-lost@1", "D"};
    int finished = 0;
    for (const char* next : boards) {
        put(next);
        ASSERT_TRUE(loop.waitFor("  board ", ++finished)) << next;
        put("none");
        ASSERT_TRUE(loop.waitFor("Ready for the next board.", finished)) << next;
    }
    const Result r = loop.finish(SIGINT);
    ::unsetenv("KW_EMU_BOARD_FILE");
    EXPECT_EQ(r.exitCode, 4) << r.out << r.err;
    std::size_t at = 0;
    for (const char* line : {"PASS  board 1  serial 1  ", "PASS  board 2  serial 2  ",
                             "FAIL  board 3  serial 3  ", "the target chip does not answer",
                             "PASS  board 4  serial 3  ", "Totals: 3 passed, 1 failed, "}) {
        at = r.out.find(line, at);
        EXPECT_NE(at, std::string::npos) << line << " in order in\n" << r.out;
    }
    for (const auto& [name, serial] : {std::pair{"A", 1}, {"B", 2}, {"D", 3}}) {
        const emu::ChipMemory chip((dir.path() / "chip.bin").string() + "." + name);
        EXPECT_TRUE(std::equal(program.begin(), program.end(), chip.flash.begin())) << name;
        EXPECT_EQ(chip.flash[0x1FF3], serial) << name;
        EXPECT_EQ(chip.flash[0x1FF0], 0) << name;
    }
    EXPECT_EQ(jsonFields(dir.path() / "log.jsonl", ".result, .serial, .probe.port, .library_code"),
              "PASS\t1\t1-2\t0\nPASS\t2\t1-2\t0\nFAIL\t3\t1-2\t3\nPASS\t3\t1-2\t0\n");
}

bool ascii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The library's own texts end kwflash's lines, in English as on the rest of the line.
TEST_F(KwflashStlinkTest, PrintsTheLibrarysTextsInEnglish) {
    dir.write("image.bin", std::string(static_cast<std::size_t>(kFlash), '\x42'));
    const Result locked = stlink({"write", "image.bin"}, "rop");
    EXPECT_EQ(locked.exitCode, 4);
    // kwflash names the protection itself, since the library can read the option bytes.
    EXPECT_EQ(locked.err.rfind("kwflash: the chip is read-out protected (ROP 0xAA at 0x4800): it "
                               "refused writing block 0 (0x8000-0x807F) with code 4; kwflash "
                               "unlock removes",
                               0),
              0u)
        << locked.err;
    EXPECT_TRUE(ascii(locked.err)) << locked.err;

    const Result none = stlink({"read", "out.bin"}, "no-probe");
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("no ST-LINK programmer found: plug in an ST-LINK"), std::string::npos)
        << none.err;
    EXPECT_TRUE(ascii(none.err)) << none.err;

    const Result denied = stlink({"probe"}, "access");
    EXPECT_EQ(denied.exitCode, 1);
    EXPECT_NE(denied.out.find("not usable: no permission to use the ST-LINK"), std::string::npos)
        << denied.out;
    EXPECT_TRUE(ascii(denied.out + denied.err)) << denied.out << denied.err;
}

// Several probes on the emulated bus, each with its own chip: two of them clones sharing a
// serial, as cheap probes often do.
class KwflashProbesTest : public KwflashStlinkTest {
protected:
    void SetUp() override {
        KwflashStlinkTest::SetUp();
        ::setenv("KW_EMU_PROBES", "3", 1);
        ::setenv("KW_EMU_SERIALS", ",CLONE,CLONE", 1);
        std::vector<std::uint8_t> image(static_cast<std::size_t>(kFlash));
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<std::uint8_t>(i * 13 + 1);
        dir.write("image.bin", text(image));
    }
    void TearDown() override {
        for (const char* name :
             {"KW_EMU_PROBES", "KW_EMU_SERIALS", "KW_EMU_FAULTS_2", "KW_EMU_PRODUCT_3"})
            ::unsetenv(name);
        KwflashStlinkTest::TearDown();
    }
};

TEST_F(KwflashProbesTest, ListsEveryProbeAndUsesTheOneNamed) {
    ::setenv("KW_EMU_PRODUCT_3", "0x374F", 1);
    const Result list = stlink({"list"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out, "1-2 serial=4B57454D5530303030303031 product=0483:3748 generation=V2 "
                        "firmware=V2J37S7 swim=yes usable=yes\n"
                        "1-3.1 serial=CLONE product=0483:3748 generation=V2 firmware=V2J37S7 "
                        "swim=yes usable=yes\n"
                        "1-3.2 serial=CLONE product=0483:374f generation=V3 firmware=V3J7S1 "
                        "swim=yes usable=yes\n");

    // By port path: that probe's chip only.
    const Result byPath = stlink({"write", "image.bin", "--probe", "1-3.2"});
    EXPECT_EQ(byPath.exitCode, 0) << byPath.err;
    EXPECT_NE(byPath.out.find("Programmer: STLINK-V3 (0483:374f)"), std::string::npos)
        << byPath.out;
    EXPECT_EQ(stlink({"verify", "image.bin", "--probe=1-3.2"}).exitCode, 0);
    EXPECT_EQ(stlink({"verify", "image.bin", "--probe=1-3.1"}).exitCode, 3);
    EXPECT_EQ(stlink({"verify", "image.bin"}).exitCode, 3); // the first probe's chip

    // By serial, and a serial two clones share, which names both paths.
    const Result bySerial =
        stlink({"write", "image.bin", "--probe", "4B57454D5530303030303031", "--no-verify"});
    EXPECT_EQ(bySerial.exitCode, 0) << bySerial.err;
    EXPECT_EQ(stlink({"verify", "image.bin", "--probe", "1-2"}).exitCode, 0);
    const Result shared = stlink({"read", "out.bin", "--probe", "CLONE"});
    EXPECT_EQ(shared.exitCode, 1);
    EXPECT_NE(shared.err.find("serial CLONE (USB ports 1-3.1, 1-3.2)"), std::string::npos)
        << shared.err;
    const Result missing = stlink({"probe", "--probe", "2-1"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.out.find("no ST-LINK with the USB port path 2-1"), std::string::npos)
        << missing.out;

    // A library that cannot be told a probe is not used with one.
    const Result refused =
        kwflash({"verify", "image.bin", "--probe", "1-2", library(testlib::recordingDir())});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("run without --probe"), std::string::npos) << refused.err;
}

TEST_F(KwflashProbesTest, WritesAllProbesAndReportsEachFailure) {
    const Result all = stlink({"write", "image.bin", "--all"});
    EXPECT_EQ(all.exitCode, 0) << all.err;
    for (const char* line : {"\n1-2: Written and verified: 8192 bytes.\n",
                             "\n1-3.1: Written and verified: 8192 bytes.\n",
                             "\n1-3.2: Written and verified: 8192 bytes.\n"})
        EXPECT_NE(all.out.find(line), std::string::npos) << line << " in\n" << all.out;
    EXPECT_EQ(all.err, "");

    // The second probe is unplugged after 3 blocks; the others are still programmed.
    dir.write("other.bin", std::string(static_cast<std::size_t>(kFlash), '\x5A'));
    ::setenv("KW_EMU_FAULTS_2", "unplug@3", 1);
    const Result failing = stlink({"write", "other.bin", "--all", "--no-verify"});
    EXPECT_EQ(failing.exitCode, 4);
    EXPECT_NE(failing.out.find("\n1-2: Written, not verified.\n"), std::string::npos)
        << failing.out;
    EXPECT_NE(failing.out.find("\n1-3.2: Written, not verified.\n"), std::string::npos)
        << failing.out;
    EXPECT_EQ(failing.err.rfind("kwflash: 1-3.1: the programmer failed writing block ", 0), 0u)
        << failing.err;
    EXPECT_NE(failing.err.find("with code 7"), std::string::npos) << failing.err;
    EXPECT_EQ(std::count(failing.err.begin(), failing.err.end(), '\n'), 1) << failing.err;

    // Nothing usable at all is a failure of its own, not a silent success.
    ::setenv("KW_EMU_FAULTS", "no-swim", 1);
    const Result none =
        kwflash({"write", "image.bin", "--all", std::string("--library=") + KW_STLINK_LIBRARY});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("no usable programmer"), std::string::npos) << none.err;
}

} // namespace
} // namespace kw
