#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "RecordingHost.h"
#include "programmer/DlProgrammer.h"
#include "programmer/Transfer.h"
#include "support/ReturnsInTime.h"
#include "target/Chip.h"

namespace kw {
namespace {

namespace fs = std::filesystem;

// The stand-in's image is the largest chip's flash.
constexpr std::int32_t kFlash = kLargestChip.flashSize;
constexpr std::int32_t kWrite = kSetFlashDataBlockSize;
constexpr std::int32_t kRead = kGetFlashDataBlockSize;

std::vector<std::uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each test gets its own state directory and a stand-in without timing, whatever the user's
// environment or a settings file beside the library say.
class StandinTest : public ::testing::Test {
protected:
    fs::path stateDir;
    fs::path store;
    SystemLibraryLoader loader{KW_STANDIN_DIR};
    std::unique_ptr<ProgrammerLibrary> library;
    BlockFunction setFlashData = nullptr;
    BlockFunction getFlashData = nullptr;

    void SetUp() override {
        static int counter = 0;
        stateDir = fs::temp_directory_path() /
                   ("kw-standin-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(stateDir);
        fs::create_directories(stateDir);
        store = stateDir / "kaliwire" / "programmer-flash.bin";
        ::setenv("XDG_STATE_HOME", stateDir.c_str(), 1);
        standin("delay=0");
        library = loader.load();
        ASSERT_TRUE(library) << loader.lastError();
        setFlashData = library->lookup("SetFlashData");
        getFlashData = library->lookup("GetFlashData");
        ASSERT_TRUE(setFlashData && getFlashData);
    }
    void TearDown() override {
        library.reset();
        ::unsetenv("TOLVANEX_STANDIN");
        ::unsetenv("XDG_STATE_HOME");
        fs::remove_all(stateDir);
    }
    static void standin(const char* settings) { ::setenv("TOLVANEX_STANDIN", settings, 1); }
};

TEST_F(StandinTest, ReadBackReturnsWhatWasDownloaded) {
    test::RecordingHost host;
    DlProgrammer programmer(std::make_shared<SystemLibraryLoader>(KW_STANDIN_DIR));
    const auto fresh = runReadBack(programmer, host);
    ASSERT_EQ(fresh.outcome, TransferOutcome::Completed);
    EXPECT_EQ(fresh.image->bytes().size(), static_cast<std::size_t>(kFlash));
    for (const auto byte : fresh.image->bytes())
        ASSERT_EQ(byte, 0xFF); // a new programmer holds an erased chip

    ImageBuffer image(kFlash);
    for (std::int64_t p = 0; p < kFlash; ++p)
        image.write(p, static_cast<std::uint8_t>(p * 31 + p / 128));
    ASSERT_EQ(runDownload(
                  programmer, [&] { return &image; }, host)
                  .outcome,
              TransferOutcome::Completed);

    const auto back = runReadBack(programmer, host);
    ASSERT_EQ(back.outcome, TransferOutcome::Completed);
    const std::vector<std::uint8_t> expected(image.bytes().begin(), image.bytes().end());
    EXPECT_EQ(std::vector<std::uint8_t>(back.image->bytes().begin(), back.image->bytes().end()),
              expected);
    const auto stored = fileBytes(store);
    ASSERT_GE(stored.size(), expected.size());
    EXPECT_EQ(std::vector<std::uint8_t>(stored.begin(), stored.begin() + kFlash), expected);
    // Only the store itself is left behind, no temporary files.
    EXPECT_EQ(std::distance(fs::directory_iterator(store.parent_path()), fs::directory_iterator()),
              1);
}

TEST_F(StandinTest, RejectsBadBlocksWithoutTouchingAnything) {
    std::uint8_t block[128];
    std::fill(std::begin(block), std::end(block), 0x11);
    ASSERT_EQ(setFlashData(kFlash - kWrite, block), 0); // the last block is fine
    const auto before = fileBytes(store);

    for (const std::int32_t offset :
         {1, kWrite / 2, kFlash - kWrite - kWrite / 2, -kWrite, kFlash, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(offset);
        EXPECT_EQ(setFlashData(offset, block), 2);
    }
    EXPECT_EQ(setFlashData(0, nullptr), 2);
    EXPECT_EQ(fileBytes(store), before);

    std::uint8_t reply[32];
    ASSERT_EQ(getFlashData(kFlash - kRead, reply), 0);
    for (const std::int32_t offset : {1, kRead / 2, kFlash - kRead / 2, -kRead, kFlash, INT_MIN}) {
        SCOPED_TRACE(offset);
        std::fill(std::begin(reply), std::end(reply), 0x5A);
        EXPECT_EQ(getFlashData(offset, reply), 2);
        EXPECT_EQ(std::count(std::begin(reply), std::end(reply), 0x5A), 32);
    }
    EXPECT_EQ(getFlashData(0, nullptr), 2);
}

TEST_F(StandinTest, ActsAsAMissingOrFailingProgrammerWhenTold) {
    std::uint8_t block[128] = {};
    std::uint8_t reply[32] = {};

    standin("absent");
    EXPECT_EQ(setFlashData(0, block), 1);
    EXPECT_EQ(getFlashData(0, reply), 1);
    EXPECT_FALSE(fs::exists(store));

    standin("fail=3:9,delay=0");
    EXPECT_EQ(setFlashData(2 * kWrite, block), 0);
    EXPECT_EQ(setFlashData(3 * kWrite, block), 9);
    EXPECT_EQ(getFlashData(3 * kRead, reply), 9);
    EXPECT_EQ(getFlashData(2 * kRead, reply), 0);

    test::RecordingHost host;
    const ImageBuffer image(kFlash);
    DlProgrammer programmer(std::make_shared<SystemLibraryLoader>(KW_STANDIN_DIR));
    EXPECT_EQ(runDownload(
                  programmer, [&] { return &image; }, host)
                  .outcome,
              TransferOutcome::BlockFailed);
    EXPECT_EQ(host.only("failed:"), std::vector<std::string>{"failed:3:9:"});
    EXPECT_EQ(fileBytes(store)[std::size_t{3} * kWrite], 0xFF); // the failed block was not written
}

TEST_F(StandinTest, ReportsAStoreItCannotReachAsCode3) {
    const fs::path notADirectory = stateDir / "file";
    std::ofstream(notADirectory) << "x";
    ::setenv("XDG_STATE_HOME", notADirectory.c_str(), 1);
    std::uint8_t block[128] = {};
    EXPECT_EQ(setFlashData(0, block), 3);
    EXPECT_EQ(getFlashData(0, block), 3);
}

TEST_F(StandinTest, IgnoresARelativeStateHome) {
    const char* home = std::getenv("HOME");
    const std::string savedHome = home ? home : "";
    ::setenv("HOME", stateDir.c_str(), 1);
    ::setenv("XDG_STATE_HOME", "relative/state", 1);
    std::uint8_t block[128] = {};
    const int result = setFlashData(0, block);
    ::setenv("HOME", savedHome.c_str(), 1);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(fs::exists(stateDir / ".local/state/kaliwire/programmer-flash.bin"));
}

// The whole-chip exports, looked up beside the block ones.
class StandinChipTest : public StandinTest {
protected:
    EepromBlockFunction setEeprom = nullptr;
    EepromBlockFunction getEeprom = nullptr;
    OptionBytesReadFunction getOptions = nullptr;
    OptionByteWriteFunction setOption = nullptr;
    RemoveProtectionFunction unprotect = nullptr;
    BlockPausesFunction pauses = nullptr;

    void SetUp() override {
        StandinTest::SetUp();
        setEeprom = library->lookup<EepromBlockFunction>(kSetEepromDataName);
        getEeprom = library->lookup<EepromBlockFunction>(kGetEepromDataName);
        getOptions = library->lookup<OptionBytesReadFunction>(kGetOptionBytesName);
        setOption = library->lookup<OptionByteWriteFunction>(kSetOptionByteName);
        unprotect = library->lookup<RemoveProtectionFunction>(kRemoveReadoutProtectionName);
        pauses = library->lookup<BlockPausesFunction>(kNeedsBlockPausesName);
        ASSERT_TRUE(setEeprom && getEeprom && getOptions && setOption && unprotect && pauses);
    }
    std::vector<std::uint8_t> options() {
        std::vector<std::uint8_t> bytes(kOptionByteCount, 0x5A);
        EXPECT_EQ(getOptions(bytes.data(), kOptionByteCount), 0);
        return bytes;
    }
};

const std::vector<std::uint8_t> kFactory{0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                                         0xFF, 0x00, 0xFF, 0x00, 0xFF};

// A store kept before it held EEPROM and option bytes is still the same flash.
TEST_F(StandinChipTest, AStoreWithOnlyFlashKeepsItAndGainsANewChipsEepromAndOptions) {
    std::vector<std::uint8_t> flash(kFlash);
    for (std::size_t p = 0; p < flash.size(); ++p)
        flash[p] = static_cast<std::uint8_t>(p * 13 + 1);
    fs::create_directories(store.parent_path());
    std::ofstream(store, std::ios::binary)
        .write(reinterpret_cast<const char*>(flash.data()), kFlash);

    EXPECT_EQ(options(), kFactory);
    std::uint8_t eeprom[kEepromBlockSize];
    std::fill(std::begin(eeprom), std::end(eeprom), 0x5A);
    ASSERT_EQ(getEeprom(kEepromMaxSize - kEepromBlockSize, eeprom), 0);
    EXPECT_EQ(std::count(std::begin(eeprom), std::end(eeprom), 0x00), kEepromBlockSize);

    std::fill(std::begin(eeprom), std::end(eeprom), 0xE7);
    ASSERT_EQ(setEeprom(64, eeprom), 0);
    ASSERT_EQ(setOption(1, 0x02), 0);
    const auto stored = fileBytes(store);
    ASSERT_EQ(stored.size(), std::size_t{kFlash + kEepromMaxSize + kOptionByteCount});
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), stored.begin()));
    EXPECT_EQ(stored[kFlash + 64], 0xE7);
    EXPECT_EQ(stored[kFlash + 63], 0x00);
    EXPECT_EQ(stored[kFlash + kEepromMaxSize + 1], 0x02);
    EXPECT_EQ(stored[kFlash + kEepromMaxSize + 2], 0xFD);
}

// Protected, the chip shows 0x71 and refuses writes; its option bytes stay open, and writing
// ROP itself is the other way to remove the protection.
TEST_F(StandinChipTest, AProtectedChipReadsAs71AndRefusesWritesUntilROPIsCleared) {
    standin("rop,delay=0");
    std::uint8_t block[kWrite];
    std::fill(std::begin(block), std::end(block), 0x33);
    std::uint8_t read[kRead] = {};
    std::uint8_t eeprom[kEepromBlockSize] = {};
    EXPECT_EQ(options()[0], 0xAA);
    ASSERT_EQ(getFlashData(0, read), 0);
    EXPECT_EQ(std::count(std::begin(read), std::end(read), 0x71), kRead);
    ASSERT_EQ(getEeprom(0, eeprom), 0);
    EXPECT_EQ(std::count(std::begin(eeprom), std::end(eeprom), 0x71), kEepromBlockSize);
    EXPECT_EQ(setFlashData(0, block), 4);
    EXPECT_EQ(setEeprom(0, eeprom), 4);
    EXPECT_FALSE(fs::exists(store)) << "nothing written";

    ASSERT_EQ(setOption(3, 0x01), 0);
    EXPECT_EQ(options()[0], 0xAA) << "still protected";
    ASSERT_EQ(setOption(0, 0x00), 0);
    std::vector<std::uint8_t> expected = kFactory;
    expected[3] = 0x01;
    expected[4] = 0xFE;
    EXPECT_EQ(options(), expected);
    ASSERT_EQ(getFlashData(kFlash - kRead, read), 0);
    EXPECT_EQ(std::count(std::begin(read), std::end(read), 0x00), kRead) << "erased to 0x00";
    EXPECT_EQ(setFlashData(0, block), 0);
    EXPECT_EQ(unprotect(), 0) << "nothing to remove";
    EXPECT_EQ(fileBytes(store)[0], 0x33);
    EXPECT_EQ(pauses(), 1);
}

TEST_F(StandinChipTest, RefusesBadOptionCallsAndActsAsAMissingProgrammerWhenTold) {
    std::uint8_t bytes[kOptionByteCount + 1];
    std::fill(std::begin(bytes), std::end(bytes), 0x5A);
    EXPECT_EQ(getOptions(nullptr, kOptionByteCount), 2);
    EXPECT_EQ(getOptions(bytes, kOptionByteCount - 1), 2);
    EXPECT_EQ(std::count(std::begin(bytes), std::end(bytes), 0x5A), kOptionByteCount + 1);
    EXPECT_EQ(setOption(INT_MAX, 0xAA), 2);
    EXPECT_EQ(setEeprom(0, nullptr), 2);
    EXPECT_FALSE(fs::exists(store));
    EXPECT_EQ(options(), kFactory);

    standin("absent");
    std::uint8_t eeprom[kEepromBlockSize] = {};
    EXPECT_EQ(setEeprom(0, eeprom), 1);
    EXPECT_EQ(getEeprom(0, eeprom), 1);
    EXPECT_EQ(getOptions(bytes, kOptionByteCount), 1);
    EXPECT_EQ(setOption(1, 0), 1);
    EXPECT_EQ(unprotect(), 1);

    standin("eeprom-fail=2:6,delay=0");
    EXPECT_EQ(setEeprom(64, eeprom), 0);
    EXPECT_EQ(setEeprom(128, eeprom), 6);
    EXPECT_EQ(getEeprom(128, eeprom), 6);
}

// A copy of the stand-in alone in a folder of the test, so that the settings file beside it
// is the test's own.
class StandinCopyTest : public StandinTest {
protected:
    fs::path copyDir;
    std::unique_ptr<ProgrammerLibrary> copy;
    BlockFunction copySet = nullptr;

    void SetUp() override {
        StandinTest::SetUp();
        copyDir = stateDir / "lib";
        fs::create_directories(copyDir);
        fs::copy_file(fs::path(KW_STANDIN_DIR) / kLibraryFileName, copyDir / kLibraryFileName);
        SystemLibraryLoader copyLoader(copyDir);
        copy = copyLoader.load();
        ASSERT_TRUE(copy) << copyLoader.lastError();
        copySet = copy->lookup(kSetFlashDataName);
        ASSERT_TRUE(copySet);
        standin(""); // time taken from the settings file
    }
    void TearDown() override {
        copy.reset();
        StandinTest::TearDown();
    }
};

// The clock mode is read beside the library on every block; a FIFO there, or in place of the
// image store, is refused at once instead of stalling the transfer, and stays a FIFO.
TEST_F(StandinCopyTest, ReadsOnlyRegularFilesForSettingsAndStore) {
    std::uint8_t block[kSetFlashDataBlockSize] = {};
    const fs::path ini = copyDir / "TOLVANEX.INI";
    std::ofstream(ini) << "[System]\nSWIMSCK=0\n";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(copySet(0, block), 0);
    // A block takes time only when the low-speed clock mode was read.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2));

    fs::remove(ini);
    ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
    EXPECT_TRUE(test::returnsTrueWithin(10, [&] { return copySet(kWrite, block) == 0; }));

    fs::remove(store);
    ASSERT_EQ(::mkfifo(store.c_str(), 0600), 0);
    EXPECT_TRUE(test::returnsTrueWithin(10, [&] { return copySet(0, block) == 3; }));
    EXPECT_TRUE(test::returnsTrueWithin(10, [&] { return getFlashData(0, block) == 3; }));
    EXPECT_TRUE(fs::is_fifo(ini));
    EXPECT_TRUE(fs::is_fifo(store));
}

// The pieces of the tool linked into the stand-in must not pin it in memory: releasing it
// after use really unloads it, so a replaced library file takes effect at the next transfer.
TEST_F(StandinCopyTest, UnloadsWhenReleasedAfterUse) {
    std::uint8_t block[kSetFlashDataBlockSize] = {};
    std::ofstream(copyDir / "TOLVANEX.INI") << "[System]\nSWIMSCK=1\n";
    ASSERT_EQ(copySet(0, block), 0);
    copy.reset();
    const fs::path file = copyDir / kLibraryFileName;
    void* still = ::dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(still, nullptr);
    if (still != nullptr)
        ::dlclose(still);
}

} // namespace
} // namespace kw
