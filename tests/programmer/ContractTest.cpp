// What every programmer does, whatever stands behind the interface: each implementation is
// one instance of the same suite. The process runs with the emulator's libusb on its library
// path, so that the ST-LINK library talks to the emulated probe.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>

#include "programmer/DlProgrammer.h"
#ifdef KW_HELPER
#include "programmer/ProcessProgrammer.h"
#endif
#include "programmer/TestLibraries.h"
#include "support/FakeProgrammer.h"

namespace kw {
namespace {

namespace fs = std::filesystem;

// Everything one implementation needs for a test: its own state on disk and environment,
// undone afterwards.
class Subject {
public:
    virtual ~Subject() = default;
    virtual std::unique_ptr<Programmer> make() = 0;
    // Whether its library may come without the whole-chip exports.
    virtual bool mayLackWholeChip() const { return false; }
};

struct Implementation {
    std::string name;
    std::function<std::unique_ptr<Subject>()> subject;
};

void PrintTo(const Implementation& implementation, std::ostream* out) {
    *out << implementation.name;
}

// A fresh folder for a subject's files, removed with it.
class ScratchDir {
public:
    ScratchDir() {
        static int counter = 0;
        path_ = fs::temp_directory_path() /
                ("kw-contract-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The library beside `folder`, loaded in this process or in the helper process.
std::unique_ptr<Programmer> libraryIn(const char* folder, bool helper) {
#ifdef KW_HELPER
    if (helper) {
        HelperSettings settings;
        settings.helper = KW_HELPER;
        settings.libraryFolder = folder;
        return std::make_unique<ProcessProgrammer>(settings);
    }
#endif
    (void)helper;
    return std::make_unique<DlProgrammer>(std::make_shared<SystemLibraryLoader>(folder));
}

class FakeSubject final : public Subject {
public:
    std::unique_ptr<Programmer> make() override { return test::factoryOf(fake_)(); }

private:
    std::shared_ptr<test::FakeProgrammer> fake_ = std::make_shared<test::FakeProgrammer>();
};

// The stand-in keeps its flash under XDG_STATE_HOME; here without its timing.
class StandinSubject final : public Subject {
public:
    explicit StandinSubject(bool helper = false) : helper_(helper) {
        ::setenv("XDG_STATE_HOME", dir_.path().c_str(), 1);
        ::setenv("TOLVANEX_STANDIN", "delay=0", 1);
    }
    ~StandinSubject() override {
        ::unsetenv("XDG_STATE_HOME");
        ::unsetenv("TOLVANEX_STANDIN");
    }
    std::unique_ptr<Programmer> make() override { return libraryIn(KW_STANDIN_DIR, helper_); }

private:
    ScratchDir dir_;
    bool helper_;
};

// The ST-LINK library over the emulated probe and a chip of its own, without waiting.
class StlinkSubject final : public Subject {
public:
    explicit StlinkSubject(bool helper = false) : helper_(helper) {
        ::setenv("KW_EMU_MEMORY", (dir_.path() / "chip.bin").c_str(), 1);
        ::setenv("KW_EMU_TIME_SCALE", "0", 1);
    }
    ~StlinkSubject() override {
        ::unsetenv("KW_EMU_MEMORY");
        ::unsetenv("KW_EMU_TIME_SCALE");
    }
    std::unique_ptr<Programmer> make() override { return libraryIn(KW_STLINK_DIR, helper_); }
    bool mayLackWholeChip() const override { return true; }

private:
    ScratchDir dir_;
    bool helper_;
};

using WriteBlock = std::array<std::uint8_t, kSetFlashDataBlockSize>;
using ReadBlock = std::array<std::uint8_t, kGetFlashDataBlockSize>;
using EepromBlock = std::array<std::uint8_t, kEepromBlockSize>;
using OptionBytes = std::array<std::uint8_t, kOptionByteCount>;

constexpr int kFlash = 8192;

std::uint8_t imageByte(int position) {
    return static_cast<std::uint8_t>(position * 29 + position / 128 + 3);
}

WriteBlock imageBlock(int offset) {
    WriteBlock block;
    for (int k = 0; k < kSetFlashDataBlockSize; ++k)
        block[static_cast<std::size_t>(k)] = imageByte(offset + k);
    return block;
}

// Unlike any flash block, so that an EEPROM block stored in flash, or the other way, shows.
EepromBlock eepromBlock(int offset) {
    EepromBlock block;
    for (int k = 0; k < kEepromBlockSize; ++k)
        block[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(0xE0 ^ (offset / 64 + k));
    return block;
}

class ContractTest : public ::testing::TestWithParam<Implementation> {
protected:
    void SetUp() override {
        subject = GetParam().subject();
        programmer = subject->make();
    }
    void TearDown() override {
        programmer.reset();
        subject.reset();
    }

    void writeImage() {
        ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
        ASSERT_TRUE(programmer->offers(Operation::WriteBlock));
        for (int offset = 0; offset < kFlash; offset += kSetFlashDataBlockSize) {
            const WriteBlock block = imageBlock(offset);
            ASSERT_LE(programmer->writeBlock(offset, block), 0) << "offset " << offset;
        }
        programmer->close();
    }
    // Reads the whole flash in one session; the offset of the first difference, or -1.
    int firstDifference() {
        EXPECT_TRUE(programmer->open({})) << programmer->openFailure();
        EXPECT_TRUE(programmer->offers(Operation::ReadBlock));
        int first = -1;
        for (int offset = 0; offset < kFlash && first < 0; offset += kGetFlashDataBlockSize) {
            ReadBlock block{};
            const ResultCode code = programmer->readBlock(offset, block);
            EXPECT_EQ(code, 0) << "offset " << offset;
            for (int k = 0; k < kGetFlashDataBlockSize && first < 0; ++k)
                if (code != 0 || block[static_cast<std::size_t>(k)] != imageByte(offset + k))
                    first = offset + k;
        }
        programmer->close();
        return first;
    }

    std::unique_ptr<Subject> subject;
    std::unique_ptr<Programmer> programmer;
};

TEST_P(ContractTest, WhatSixtyFourBlocksWroteTwoHundredFiftySixReadBack) {
    writeImage();
    EXPECT_EQ(firstDifference(), -1);
}

TEST_P(ContractTest, ABadOffsetIsRefusedAndChangesNothing) {
    writeImage();
    ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
    const WriteBlock ones = [] {
        WriteBlock block;
        block.fill(0x11);
        return block;
    }();
    for (const std::int32_t offset : {1, 64, kFlash, -128, 1 << 30}) {
        SCOPED_TRACE(offset);
        EXPECT_GT(programmer->writeBlock(offset, ones), 0);
    }
    for (const std::int32_t offset : {1, kFlash, -32}) {
        SCOPED_TRACE(offset);
        ReadBlock block{};
        EXPECT_NE(programmer->readBlock(offset, block), 0);
    }
    programmer->close();
    EXPECT_EQ(firstDifference(), -1);
}

TEST_P(ContractTest, ErrorTextsAreEmptyOrOneLine) {
    ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
    for (const ResultCode code : {-1, 1, 2, 3, 7, 9, 1000}) {
        const std::string text = programmer->errorText(code);
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code << ": " << text;
    }
    programmer->close();
}

TEST_P(ContractTest, SessionsFollowEachOtherAndCloseIsSafeTwice) {
    programmer->close(); // before any session
    const WriteBlock block = imageBlock(0);
    EXPECT_EQ(programmer->writeBlock(0, block), kProgrammerNotFound);
    ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
    programmer->close();
    programmer->close();
    ReadBlock read{};
    EXPECT_EQ(programmer->readBlock(0, read), kProgrammerNotFound);
    writeImage();
    // A second programmer of the same kind sees what the first one wrote.
    programmer = subject->make();
    EXPECT_EQ(firstDifference(), -1);
}

TEST_P(ContractTest, AnOptionTheLibraryDoesNotTakeFailsTheOpen) {
    EXPECT_FALSE(programmer->open({{{"no-such-option", "1"}}}));
    const auto refusal = programmer->refusedOption();
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->name, "no-such-option");
    EXPECT_EQ(refusal->value, "1");
    EXPECT_FALSE(programmer->openFailure().empty());
    programmer->close();
    // Refused once, the next session opens as usual.
    ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
    EXPECT_FALSE(programmer->refusedOption());
    programmer->close();
}

// The whole-chip calls, on every programmer that offers them; one that may lack them skips.
class WholeChipTest : public ContractTest {
protected:
    void openOffering(std::initializer_list<Operation> operations) {
        ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
        for (const Operation operation : operations)
            if (!programmer->offers(operation)) {
                programmer->close();
                if (subject->mayLackWholeChip())
                    GTEST_SKIP() << "not offered";
                FAIL() << "operation " << static_cast<int>(operation) << " not offered";
            }
    }
    OptionBytes options() {
        OptionBytes bytes{};
        EXPECT_EQ(programmer->readOptionBytes(bytes), 0);
        return bytes;
    }
};

TEST_P(WholeChipTest, EepromBlocksReadBackAndBadOffsetsChangeNothing) {
    openOffering({Operation::WriteEeprom, Operation::ReadEeprom});
    if (IsSkipped() || HasFatalFailure())
        return;
    for (int offset = 0; offset < kEepromMaxSize; offset += kEepromBlockSize)
        ASSERT_EQ(programmer->writeEepromBlock(offset, eepromBlock(offset)), 0) << offset;
    EepromBlock other;
    other.fill(0x11);
    for (const std::int32_t offset : {1, 32, kEepromMaxSize, -64, 1 << 30}) {
        SCOPED_TRACE(offset);
        EXPECT_GT(programmer->writeEepromBlock(offset, other), 0);
        EXPECT_NE(programmer->readEepromBlock(offset, other), 0);
    }
    programmer->close();

    ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
    for (int offset = 0; offset < kEepromMaxSize; offset += kEepromBlockSize) {
        EepromBlock back{};
        ASSERT_EQ(programmer->readEepromBlock(offset, back), 0) << offset;
        EXPECT_EQ(back, eepromBlock(offset)) << offset;
    }
    programmer->close();
}

TEST_P(WholeChipTest, AnOptionByteIsWrittenWithItsComplementAndBadIndexesChangeNothing) {
    openOffering({Operation::ReadOptionBytes, Operation::WriteOptionByte});
    if (IsSkipped() || HasFatalFailure())
        return;
    OptionBytes expected = options();
    ASSERT_EQ(programmer->writeOptionByte(3, 0x5A), 0); // AFR: harmless to the chip
    expected[3] = 0x5A;
    expected[4] = 0xA5;
    for (const std::int32_t index : {2, 10, 11, -1})
        EXPECT_EQ(programmer->writeOptionByte(index, 0x33), 2) << index;
    EXPECT_EQ(options(), expected);
    programmer->close();

    ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
    EXPECT_EQ(options(), expected);
    programmer->close();
}

TEST_P(WholeChipTest, RemovingProtectionErasesFlashAndEepromAndKeepsTheOtherOptions) {
    openOffering({Operation::WriteBlock, Operation::ReadBlock, Operation::WriteEeprom,
                  Operation::ReadEeprom, Operation::ReadOptionBytes, Operation::WriteOptionByte,
                  Operation::RemoveProtection});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_LE(programmer->writeBlock(0, imageBlock(0)), 0);
    ASSERT_EQ(programmer->writeEepromBlock(0, eepromBlock(0)), 0);
    ASSERT_EQ(programmer->writeOptionByte(3, 0x5A), 0);
    ASSERT_EQ(programmer->writeOptionByte(0, 0xAA), 0);
    programmer->close();

    // Protected from the next session on, as a chip is from its next reset.
    ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
    EXPECT_EQ(options()[0], 0xAA);
    ASSERT_EQ(programmer->removeReadoutProtection(), 0);
    const OptionBytes after = options();
    EXPECT_NE(after[0], 0xAA);
    EXPECT_EQ(after[3], 0x5A);
    EXPECT_EQ(after[4], 0xA5);
    ReadBlock flash{};
    ASSERT_EQ(programmer->readBlock(0, flash), 0);
    EXPECT_EQ(flash, ReadBlock{}) << "flash erased to 0x00";
    EepromBlock eeprom{};
    eeprom.fill(0x11);
    ASSERT_EQ(programmer->readEepromBlock(0, eeprom), 0);
    EXPECT_EQ(eeprom, EepromBlock{}) << "EEPROM erased to 0x00";
    // Writable again in the same session.
    ASSERT_LE(programmer->writeBlock(0, imageBlock(0)), 0);
    ASSERT_EQ(programmer->readBlock(0, flash), 0);
    EXPECT_EQ(flash[5], imageByte(5));
    // Nothing left to remove.
    EXPECT_EQ(programmer->removeReadoutProtection(), 0);
    programmer->close();
}

std::string nameOf(const ::testing::TestParamInfo<Implementation>& info) {
    return info.param.name;
}

const auto inProcess =
    ::testing::Values(Implementation{"Fake", [] { return std::make_unique<FakeSubject>(); }},
                      Implementation{"Standin", [] { return std::make_unique<StandinSubject>(); }},
                      Implementation{"Stlink", [] { return std::make_unique<StlinkSubject>(); }});
INSTANTIATE_TEST_SUITE_P(InProcess, ContractTest, inProcess, nameOf);
INSTANTIATE_TEST_SUITE_P(InProcess, WholeChipTest, inProcess, nameOf);

#ifdef KW_HELPER
const auto inHelper = ::testing::Values(
    Implementation{"Standin", [] { return std::make_unique<StandinSubject>(true); }},
    Implementation{"Stlink", [] { return std::make_unique<StlinkSubject>(true); }});
INSTANTIATE_TEST_SUITE_P(InHelperProcess, ContractTest, inHelper, nameOf);
INSTANTIATE_TEST_SUITE_P(InHelperProcess, WholeChipTest, inHelper, nameOf);
#endif

// The library's whole-chip exports as the in-process and the helper programmer hand them on:
// the same bytes reach the library, its codes come back unchanged (negative ones too), and
// offers() tells an export that is missing from a call that failed.
class HandedOnTest : public ::testing::TestWithParam<bool> {
protected:
    std::unique_ptr<Programmer> programmerFor(const fs::path& folder) {
        return libraryIn(folder.c_str(), GetParam());
    }
};

TEST_P(HandedOnTest, BytesReachTheLibraryAndItsCodesComeBack) {
    testlib::RecordingSession session;
    session.failCall(1, -7); // the second call of each export
    auto programmer = programmerFor(testlib::chipDir());
    ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
    for (const Operation operation :
         {Operation::WriteEeprom, Operation::ReadEeprom, Operation::ReadOptionBytes,
          Operation::WriteOptionByte, Operation::RemoveProtection, Operation::BlockPauses})
        EXPECT_TRUE(programmer->offers(operation)) << static_cast<int>(operation);

    EXPECT_EQ(programmer->writeEepromBlock(128, eepromBlock(128)), 0);
    EXPECT_EQ(programmer->writeEepromBlock(192, eepromBlock(192)), -7);
    EepromBlock eeprom{};
    EXPECT_EQ(programmer->readEepromBlock(64, eeprom), 0);
    EXPECT_EQ(eeprom.front(), testlib::patternByte(0x4040));
    EXPECT_EQ(eeprom.back(), testlib::patternByte(0x407F));
    OptionBytes bytes{};
    EXPECT_EQ(programmer->readOptionBytes(bytes), 0);
    EXPECT_EQ(bytes.front(), testlib::patternByte(0x4800));
    EXPECT_EQ(bytes.back(), testlib::patternByte(0x480A));
    EXPECT_EQ(programmer->readOptionBytes(bytes), -7);
    EXPECT_EQ(programmer->writeOptionByte(3, 0xA5), 0);
    EXPECT_EQ(programmer->writeOptionByte(0, 0xAA), -7);
    EXPECT_EQ(programmer->removeReadoutProtection(), 0);
    EXPECT_EQ(programmer->removeReadoutProtection(), -7);
    EXPECT_FALSE(programmer->needsBlockPauses());
    programmer->close();
    // The helper takes the library's environment at its start: the next session.
    session.setPauses(1);
    ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
    EXPECT_TRUE(programmer->needsBlockPauses());
    programmer->close();

    const testlib::Log log = session.log();
    ASSERT_EQ(log.calls.size(), 11u);
    EXPECT_EQ(log.calls[0].exportName, "SetEepromData");
    EXPECT_EQ(log.calls[0].offset, 128);
    const EepromBlock sent = eepromBlock(128);
    EXPECT_EQ(log.calls[0].data, std::vector<std::uint8_t>(sent.begin(), sent.end()));
    EXPECT_EQ(log.calls[1].offset, 192);
    EXPECT_EQ(log.calls[2].exportName, "GetEepromData");
    EXPECT_EQ(log.calls[2].offset, 64);
    EXPECT_EQ(log.calls[3].exportName, "GetOptionBytes");
    EXPECT_EQ(log.calls[3].offset, kOptionByteCount) << "the size the library is told";
    EXPECT_EQ(log.calls[5].exportName, "SetOptionByte");
    EXPECT_EQ(log.calls[5].offset, 3);
    EXPECT_EQ(log.calls[5].data, std::vector<std::uint8_t>{0xA5});
    EXPECT_EQ(log.calls[6].offset, 0);
    EXPECT_EQ(log.calls[6].data, std::vector<std::uint8_t>{0xAA});
    EXPECT_EQ(log.calls[7].exportName, "RemoveReadoutProtection");
    EXPECT_EQ(log.calls[9].exportName, "NeedsBlockPauses");
}

TEST_P(HandedOnTest, AMissingExportIsToldApartFromAFailedCall) {
    testlib::RecordingSession session;
    session.setResult(1); // every call the library does make answers "not found"
    auto programmer = programmerFor(testlib::eepromDir());
    ASSERT_TRUE(programmer->open({})) << programmer->openFailure();
    EXPECT_TRUE(programmer->offers(Operation::WriteEeprom));
    EXPECT_TRUE(programmer->offers(Operation::ReadEeprom));
    for (const Operation operation : {Operation::ReadOptionBytes, Operation::WriteOptionByte,
                                      Operation::RemoveProtection, Operation::BlockPauses})
        EXPECT_FALSE(programmer->offers(operation)) << static_cast<int>(operation);
    EepromBlock eeprom{};
    EXPECT_EQ(programmer->readEepromBlock(0, eeprom), 1);
    OptionBytes bytes{};
    EXPECT_EQ(programmer->readOptionBytes(bytes), kProgrammerNotFound);
    EXPECT_EQ(programmer->writeOptionByte(1, 0), kProgrammerNotFound);
    EXPECT_EQ(programmer->removeReadoutProtection(), kProgrammerNotFound);
    EXPECT_TRUE(programmer->needsBlockPauses()) << "paused, as a library without the export";
    programmer->close();
    const testlib::Log log = session.log();
    ASSERT_EQ(log.calls.size(), 1u) << "only the export that is there was called";

    // Between sessions every call is no programmer, and nothing reaches a library.
    session.clearLog();
    programmer = programmerFor(testlib::chipDir());
    EXPECT_EQ(programmer->writeEepromBlock(0, eeprom), kProgrammerNotFound);
    EXPECT_EQ(programmer->readEepromBlock(0, eeprom), kProgrammerNotFound);
    EXPECT_EQ(programmer->readOptionBytes(bytes), kProgrammerNotFound);
    EXPECT_EQ(programmer->writeOptionByte(1, 0), kProgrammerNotFound);
    EXPECT_EQ(programmer->removeReadoutProtection(), kProgrammerNotFound);
    EXPECT_TRUE(programmer->needsBlockPauses());
    ASSERT_TRUE(programmer->open({}));
    programmer->close();
    EXPECT_EQ(programmer->removeReadoutProtection(), kProgrammerNotFound);
    EXPECT_TRUE(session.log().calls.empty());
}

std::string handedOnName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "InHelperProcess" : "InProcess";
}

#ifdef KW_HELPER
INSTANTIATE_TEST_SUITE_P(Both, HandedOnTest, ::testing::Bool(), handedOnName);
#else
INSTANTIATE_TEST_SUITE_P(Both, HandedOnTest, ::testing::Values(false), handedOnName);
#endif

} // namespace
} // namespace kw
