// What every programmer does, whatever stands behind the interface: each implementation is
// one instance of the same suite. The process runs with the emulator's libusb on its library
// path, so that the ST-LINK library talks to the emulated probe.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "programmer/DlProgrammer.h"
#ifdef KW_HELPER
#include "programmer/ProcessProgrammer.h"
#endif
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

private:
    ScratchDir dir_;
    bool helper_;
};

using WriteBlock = std::array<std::uint8_t, kSetFlashDataBlockSize>;
using ReadBlock = std::array<std::uint8_t, kGetFlashDataBlockSize>;

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

std::string nameOf(const ::testing::TestParamInfo<Implementation>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    InProcess, ContractTest,
    ::testing::Values(Implementation{"Fake", [] { return std::make_unique<FakeSubject>(); }},
                      Implementation{"Standin", [] { return std::make_unique<StandinSubject>(); }},
                      Implementation{"Stlink", [] { return std::make_unique<StlinkSubject>(); }}),
    nameOf);

#ifdef KW_HELPER
INSTANTIATE_TEST_SUITE_P(
    InHelperProcess, ContractTest,
    ::testing::Values(
        Implementation{"Standin", [] { return std::make_unique<StandinSubject>(true); }},
        Implementation{"Stlink", [] { return std::make_unique<StlinkSubject>(true); }}),
    nameOf);
#endif

} // namespace
} // namespace kw
