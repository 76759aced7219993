// The library in the helper process: the same session as in process, and a library that
// crashes, exits or hangs ends only the helper, with the reason, and the next session works.

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <string>

#include "programmer/ProcessProgrammer.h"
#include "programmer/TestLibraries.h"

namespace kw {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

HelperSettings helperFor(const fs::path& libraryFolder) {
    HelperSettings settings;
    settings.helper = KW_HELPER;
    settings.libraryFolder = libraryFolder;
    settings.callLimit = milliseconds(5000);
    return settings;
}

// The process is gone, reaped: not even a zombie is left.
bool reaped(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

std::array<std::uint8_t, kSetFlashDataBlockSize> filled(std::uint8_t value) {
    std::array<std::uint8_t, kSetFlashDataBlockSize> block{};
    block.fill(value);
    return block;
}

// Writes blocks until one throws; the stop it threw, with how many blocks went through.
struct Stop {
    StopKind kind;
    int value;
    int blocksDone;
};
Stop writeUntilStopped(ProcessProgrammer& programmer) {
    const auto block = filled(0x5A);
    for (int i = 0; i < 64; ++i) {
        try {
            EXPECT_EQ(programmer.writeBlock(i * kSetFlashDataBlockSize, block), 0);
        } catch (const ProgrammerStopped& stop) {
            return {stop.kind(), stop.value(), i};
        }
    }
    ADD_FAILURE() << "the library never stopped";
    return {StopKind::Exit, -1, 64};
}

TEST(ProcessProgrammerTest, LoadsTheLibraryPerSessionAndReleasesItAtClose) {
    testlib::RecordingSession session;
    session.failCall(1, 5);
    ProcessProgrammer programmer(helperFor(testlib::recordingDir()));
    ASSERT_TRUE(programmer.open({})) << programmer.openFailure();
    const pid_t first = programmer.helperPid();
    EXPECT_TRUE(programmer.offers(Operation::WriteBlock));
    EXPECT_FALSE(programmer.offers(Operation::Report));

    EXPECT_EQ(programmer.writeBlock(128, filled(0xA5)), 0);
    EXPECT_EQ(programmer.writeBlock(256, filled(0x00)), 5) << "the library's code, unchanged";
    std::array<std::uint8_t, kGetFlashDataBlockSize> read{};
    EXPECT_EQ(programmer.readBlock(64, read), 0);
    EXPECT_EQ(read[0], testlib::patternByte(64));
    EXPECT_EQ(read[31], testlib::patternByte(95));
    programmer.close();
    EXPECT_TRUE(reaped(first));

    testlib::Log log = session.log();
    EXPECT_EQ(log.loads, 1);
    EXPECT_EQ(log.unloads, 1) << "released before close() returns";
    ASSERT_EQ(log.calls.size(), 3u);
    EXPECT_EQ(log.calls[0].offset, 128);
    EXPECT_EQ(log.calls[0].data, std::vector<std::uint8_t>(128, 0xA5));
    EXPECT_EQ(log.calls[2].exportName, "GetFlashData");

    // The next session is a fresh helper and a fresh load.
    session.clearLog();
    ASSERT_TRUE(programmer.open({}));
    EXPECT_NE(programmer.helperPid(), first);
    EXPECT_EQ(programmer.writeBlock(0, filled(1)), 0);
    programmer.close();
    log = session.log();
    EXPECT_EQ(log.loads, 1);
    EXPECT_EQ(log.unloads, 1);
}

TEST(ProcessProgrammerTest, TellsWhyThereIsNoSession) {
    ProcessProgrammer missing(helperFor(testlib::emptyDir()));
    EXPECT_FALSE(missing.open({}));
    EXPECT_EQ(missing.openFailure(), "") << "no library file anywhere, as in process";
    EXPECT_EQ(missing.helperPid(), -1);

    ProcessProgrammer broken(helperFor(testlib::brokenDir()));
    EXPECT_FALSE(broken.open({}));
    EXPECT_NE(broken.openFailure().find("TOLVANEX.dll"), std::string::npos) << broken.openFailure();

    // The recording library cannot take options: the refusal comes back whole.
    ProcessProgrammer noOptions(helperFor(testlib::recordingDir()));
    EXPECT_FALSE(noOptions.open({{{"probe", "1-2"}}}));
    ASSERT_TRUE(noOptions.refusedOption());
    EXPECT_EQ(noOptions.refusedOption()->name, "probe");
    EXPECT_EQ(noOptions.refusedOption()->value, "1-2");
    EXPECT_TRUE(noOptions.refusedOption()->noOptionExport);
    // A preference it cannot be told is no reason to refuse the session.
    ProcessProgrammer preferring(helperFor(testlib::recordingDir()));
    EXPECT_TRUE(preferring.open(SessionOptions{{}, {{"language", "en"}}}));
    EXPECT_FALSE(preferring.refusedOption());
    preferring.close();

    HelperSettings nowhere = helperFor(testlib::recordingDir());
    nowhere.helper = "/nonexistent/kaliwire-programmer";
    ProcessProgrammer noHelper(nowhere);
    EXPECT_FALSE(noHelper.open({}));
    EXPECT_NE(noHelper.openFailure().find("/nonexistent/kaliwire-programmer"), std::string::npos)
        << noHelper.openFailure();
}

// Each way a library can go away ends the call with its reason, leaves no process behind,
// and the next session with a good library works.
TEST(ProcessProgrammerTest, ALibraryThatCrashesExitsOrHangsStopsOnlyTheHelper) {
    struct Case {
        fs::path folder;
        StopKind kind;
        int value;
    };
    const Case cases[] = {{testlib::segfaultDir(), StopKind::Signal, SIGSEGV},
                          {testlib::exit3Dir(), StopKind::Exit, 3},
                          {testlib::hangDir(), StopKind::Timeout, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder.string());
        HelperSettings settings = helperFor(c.folder);
        // Long enough for a loaded machine to start a helper, short for a test.
        settings.callLimit = milliseconds(2000);
        ProcessProgrammer programmer(settings);
        ASSERT_TRUE(programmer.open({})) << programmer.openFailure();
        const pid_t helper = programmer.helperPid();
        const Stop stop = writeUntilStopped(programmer);
        EXPECT_EQ(stop.kind, c.kind);
        EXPECT_EQ(stop.value, c.value);
        EXPECT_EQ(stop.blocksDone, 3);
        EXPECT_TRUE(reaped(helper));
        EXPECT_EQ(programmer.helperPid(), -1);

        // The session stays stopped until it is closed; then it is no session at all.
        EXPECT_THROW(programmer.errorText(3), ProgrammerStopped);
        programmer.close();
        programmer.close();
        EXPECT_EQ(programmer.writeBlock(0, filled(1)), kProgrammerNotFound);
        std::array<std::uint8_t, kGetFlashDataBlockSize> read{};
        ASSERT_TRUE(programmer.open({}));
        EXPECT_EQ(programmer.readBlock(0, read), 0) << "a fresh helper, a fresh load";
        programmer.close();
    }
}

// An option-byte write is a call like a block: a crash inside it is a stop with its signal.
TEST(ProcessProgrammerTest, ALibraryThatCrashesInsideSetOptionByteStopsOnlyTheHelper) {
    ProcessProgrammer programmer(helperFor(testlib::segfaultDir()));
    ASSERT_TRUE(programmer.open({})) << programmer.openFailure();
    ASSERT_TRUE(programmer.offers(Operation::WriteOptionByte));
    const pid_t helper = programmer.helperPid();
    int written = 0;
    try {
        for (; written < 8; ++written)
            EXPECT_EQ(programmer.writeOptionByte(1, static_cast<std::uint8_t>(written)), 0);
        FAIL() << "no stop";
    } catch (const ProgrammerStopped& stop) {
        EXPECT_EQ(stop.kind(), StopKind::Signal);
        EXPECT_EQ(stop.value(), SIGSEGV);
    }
    EXPECT_EQ(written, 3);
    EXPECT_TRUE(reaped(helper));
    EXPECT_THROW(programmer.removeReadoutProtection(), ProgrammerStopped);
    programmer.close();
    EXPECT_EQ(programmer.writeOptionByte(1, 0), kProgrammerNotFound);
    ASSERT_TRUE(programmer.open({}));
    EXPECT_EQ(programmer.writeOptionByte(1, 0), 0) << "a fresh helper, a fresh load";
    programmer.close();
}

// A helper killed from outside between calls: the next call says so, and the host is not
// killed by writing to the socket of a dead process.
TEST(ProcessProgrammerTest, AHelperKilledBetweenCallsIsAStopNotACrashOfTheHost) {
    testlib::RecordingSession session;
    ProcessProgrammer programmer(helperFor(testlib::recordingDir()));
    ASSERT_TRUE(programmer.open({}));
    ASSERT_EQ(programmer.writeBlock(0, filled(7)), 0);
    const pid_t helper = programmer.helperPid();
    ::kill(helper, SIGKILL);
    try {
        programmer.writeBlock(128, filled(7));
        FAIL() << "no stop";
    } catch (const ProgrammerStopped& stop) {
        EXPECT_EQ(stop.kind(), StopKind::Signal);
        EXPECT_EQ(stop.value(), SIGKILL);
    }
    EXPECT_TRUE(reaped(helper));
}

} // namespace
} // namespace kw
