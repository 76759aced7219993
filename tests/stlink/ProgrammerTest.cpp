// The ST-LINK library's transfers against an emulated probe and chip, in process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "EmulatedUsb.h"
#include "ProbeChecks.h"
#include "stlink/Session.h"

namespace {

using namespace kw::stlink;
using kw::ResultCode;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using Image = std::vector<std::uint8_t>;

constexpr std::uint32_t kFlashBase = 0x8000;
constexpr int kFlash = 8192;
constexpr int kHalf = 4096;

Image pattern(unsigned seed, int length = kFlash) {
    std::mt19937 random(seed);
    Image image(static_cast<std::size_t>(length));
    for (auto& byte : image)
        byte = static_cast<std::uint8_t>(random());
    return image;
}

// A call that ends through the library's own limits ends well before this; one that hangs
// does not.
constexpr double kWithinLimitsMs = 3000;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One ST-LINK command straight to a V2 probe, as another program would send it; the first
// reply byte, or -1 when `replyLength` is 0.
int probeCommand(kw::emu::Probe& probe, std::initializer_list<std::uint8_t> command,
                 int replyLength) {
    EXPECT_EQ(probe.open(), 0);
    EXPECT_EQ(probe.claimInterface(0), 0);
    std::uint8_t frame[16] = {};
    std::copy(command.begin(), command.end(), frame);
    std::uint8_t reply[16] = {0xFF};
    int moved = 0;
    EXPECT_EQ(probe.bulkTransfer(0x02, frame, 16, &moved, 100), 0);
    if (replyLength > 0) {
        EXPECT_EQ(probe.bulkTransfer(0x81, reply, replyLength, &moved, 100), 0);
    }
    probe.close();
    return replyLength > 0 ? reply[0] : -1;
}

// An emulated probe and chip with the library's programmer on top, called as the tool does
// (without its pauses).
struct Rig {
    struct Outcome {
        ResultCode code = kDone;
        int block = -1;    // the failing call's block index
        double callMs = 0; // how long the failing call took
    };

    explicit Rig(const kw::emu::Options& options = defaults())
        : probe(std::make_unique<kw::emu::Probe>(options)) {
        restart();
    }
    static kw::emu::Options defaults() {
        kw::emu::Options options;
        options.timeScale = 1.0; // the library's time budgets are wall-clock time
        return options;
    }
    // A fresh library instance, as after the tool released and loaded it again.
    void restart() {
        programmer = std::make_unique<Programmer>(
            [this] { return std::make_unique<kw::test::EmulatedPort>(*probe, tamper); });
    }

    Outcome download(const Image& image, int blocks = 64) {
        for (int block = 0; block < blocks; ++block) {
            std::array<std::uint8_t, 128> staging{};
            std::memcpy(staging.data(), image.data() + std::ptrdiff_t{block} * 128, 128);
            const auto start = Clock::now();
            const ResultCode code = programmer->setFlashData(block * 128, staging.data());
            if (code > 0)
                return {code, block, msSince(start)};
        }
        return {};
    }
    Outcome readBack(Image& out) {
        out.assign(kFlash, 0);
        for (int block = 0; block < 256; ++block) {
            const auto start = Clock::now();
            const ResultCode code =
                programmer->getFlashData(block * 32, out.data() + std::ptrdiff_t{block} * 32);
            if (code != kDone)
                return {code, block, msSince(start)};
        }
        return {};
    }
    Image flash(int length = kFlash) const {
        return probe->peek(kFlashBase, static_cast<std::size_t>(length));
    }
    std::string errorText(int code) const {
        char text[512];
        return programmer->errorText(code, text, sizeof text) > 0 ? text : "";
    }

    std::unique_ptr<kw::emu::Probe> probe;
    kw::test::ReplyTamper tamper;
    std::unique_ptr<Programmer> programmer;
};

TEST(StlinkDownload, ProgramsOnlyChangedBlocksAndLeavesTheImageInFlash) {
    Rig rig;
    const Image old = pattern(1);
    rig.probe->poke(kFlashBase, old);
    Image image = old;
    image[5] ^= 0xFF;             // chip block 0
    image[37 * 64 + 10] ^= 0x01;  // chip block 37, second half of a call
    image[127 * 64 + 63] ^= 0x80; // the very last byte
    const auto before = rig.probe->statistics().blockProgrammings;

    EXPECT_EQ(rig.download(image).code, kDone);
    EXPECT_EQ(rig.flash(), image);
    EXPECT_EQ(rig.probe->statistics().blockProgrammings - before, 3);
    EXPECT_TRUE(rig.probe->statistics().cpuRunning) << "the new program does not run";

    // Every block differs now, none erased; the library's read-back returns what it wrote.
    const Image fresh = pattern(2);
    EXPECT_EQ(rig.download(fresh).code, kDone);
    EXPECT_EQ(rig.flash(), fresh);
    Image read;
    EXPECT_EQ(rig.readBack(read).code, kDone);
    EXPECT_EQ(read, fresh);
}

// While every block changes, a block is judged by a few of its bytes read ahead; the blocks
// those bytes cannot settle still get the right treatment.
TEST(StlinkDownload, JudgesBlocksAmongChangingOnesByAllTheirBytes) {
    const auto chipBlock = [](Image& image, int index) {
        return image.begin() + std::ptrdiff_t{index} * 64;
    };
    Rig rig;
    Image old = pattern(11);
    std::fill_n(chipBlock(old, 30), 8, 0x00);  // starts like erased flash, is not
    std::fill_n(chipBlock(old, 31), 64, 0x00); // erased
    Image image = pattern(12);
    std::copy_n(chipBlock(old, 10), 64, chipBlock(image, 10));
    chipBlock(image, 10)[40] ^= 0x01;                          // differs only late
    std::copy_n(chipBlock(old, 21), 64, chipBlock(image, 21)); // unchanged
    rig.probe->poke(kFlashBase, old);
    const auto before = rig.probe->statistics().blockProgrammings;

    EXPECT_EQ(rig.download(image).code, kDone);
    EXPECT_EQ(rig.flash(), image);
    EXPECT_EQ(rig.probe->statistics().blockProgrammings - before, 127);
}

TEST(StlinkDownload, FourKilobyteChipTakesAnImageThatFitsWhateverThePadding) {
    kw::emu::Options options = Rig::defaults();
    options.chip = kw::emu::ChipVariant::Stm8s103f2;
    for (const std::uint8_t pad : {std::uint8_t{0xFF}, std::uint8_t{0x00}}) {
        SCOPED_TRACE(pad);
        Rig rig(options);
        Image image(kFlash, pad);
        const Image program = pattern(3 + pad, kHalf);
        std::copy(program.begin(), program.end(), image.begin());
        EXPECT_EQ(rig.download(image).code, kDone);
        EXPECT_EQ(rig.flash(kHalf), program);
    }

    // Real data past 4 KB cannot go in: a clean failure with its own code, past block 31.
    Rig rig(options);
    const auto outcome = rig.download(pattern(4));
    EXPECT_EQ(outcome.code, kImageTooLarge);
    EXPECT_GE(outcome.block, 32);
    EXPECT_THAT(rig.errorText(kImageTooLarge), HasSubstr("4096"));
}

TEST(StlinkDownload, EightKilobyteChipKeepsErasedLookingBytesAsData) {
    // On this chip erased flash reads 0x00, so 0xFF past 4 KB is data to program and verify.
    Rig rig;
    Image image(kFlash, 0xFF);
    const Image program = pattern(5, kHalf);
    std::copy(program.begin(), program.end(), image.begin());
    EXPECT_EQ(rig.download(image).code, kDone);
    EXPECT_EQ(rig.flash(), image);
}

struct SpeedCase {
    const char* name;
    const char* speed;
    bool hsitNeverSet;
    const char* expected;
};

void PrintTo(const SpeedCase& c, std::ostream* os) {
    *os << c.name;
}

class StlinkSpeed : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(StlinkSpeed, ReadsBackAtTheSpeedTheSettingAndTheChipAllow) {
    kw::emu::Options options = Rig::defaults();
    options.faults.hsitNeverSet = GetParam().hsitNeverSet;
    Rig rig(options);
    ASSERT_TRUE(rig.programmer->setOption("swim", GetParam().speed));
    const Image image = pattern(6);
    rig.probe->poke(kFlashBase, image);
    Image read;
    EXPECT_EQ(rig.readBack(read).code, kDone);
    EXPECT_EQ(read, image);
    EXPECT_THAT(rig.programmer->description(), HasSubstr(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, StlinkSpeed,
    ::testing::Values(SpeedCase{"HighAllowed", "auto", false, "SWIM high speed"},
                      SpeedCase{"LowWanted", "low", false, "SWIM low speed"},
                      SpeedCase{"HighWantedButHsitNeverSet", "high", true, "SWIM low speed"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ModelCase {
    const char* name;
    std::uint16_t productId;
    bool staleSwimMode;
    bool leftInDebugMode = false; // by another program, through the probe's debug commands
};

void PrintTo(const ModelCase& c, std::ostream* os) {
    *os << c.name;
}

class StlinkModels : public ::testing::TestWithParam<ModelCase> {};

TEST_P(StlinkModels, ReadBackWorksOnEveryProbeModel) {
    kw::emu::Options options = Rig::defaults();
    options.productId = GetParam().productId;
    options.faults.staleSwimMode = GetParam().staleSwimMode;
    Rig rig(options);
    if (GetParam().leftInDebugMode)
        probeCommand(*rig.probe, {0xF2, 0x30, 0xA3}, 2);
    const Image image = pattern(7);
    rig.probe->poke(kFlashBase, image);
    Image read;
    EXPECT_EQ(rig.readBack(read).code, kDone);
    EXPECT_EQ(read, image);
}

INSTANTIATE_TEST_SUITE_P(Probes, StlinkModels,
                         ::testing::Values(ModelCase{"V2", 0x3748, false},
                                           ModelCase{"V2LeftInSwimMode", 0x3748, true},
                                           ModelCase{"V2LeftInDebugMode", 0x3748, false, true},
                                           ModelCase{"V2_1", 0x374B, false},
                                           ModelCase{"V3", 0x374F, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FaultCase {
    const char* name;
    std::function<void(kw::emu::Options&)> inject;
    bool download; // else read-back
    ResultCode code;
    const char* textPart; // in the library's text for the code
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class StlinkFaults : public ::testing::TestWithParam<FaultCase> {};

// Each fault fails its call with its code within the library's limits (a quarter of a second
// and the measured round trips; the bound is loose so a loaded machine cannot fail it, a hang
// still does), and every later call of the same transfer fails with the same code without
// touching the USB.
TEST_P(StlinkFaults, FailWithTheirCodeQuicklyAndStayFailed) {
    kw::emu::Options options = Rig::defaults();
    GetParam().inject(options);
    Rig rig(options);
    rig.probe->poke(kFlashBase, Image(kFlash, 0x5A));
    Image read;
    const auto outcome = GetParam().download ? rig.download(pattern(8)) : rig.readBack(read);
    ASSERT_EQ(outcome.code, GetParam().code);
    EXPECT_LT(outcome.callMs, kWithinLimitsMs);
    EXPECT_THAT(rig.errorText(outcome.code), HasSubstr(GetParam().textPart));

    const int blockSize = GetParam().download ? 128 : 32;
    const int next = (outcome.block + 1) * blockSize;
    if (next < kFlash) {
        std::array<std::uint8_t, 128> block{};
        const long long transfers = rig.probe->statistics().transfers;
        EXPECT_EQ(GetParam().download ? rig.programmer->setFlashData(next, block.data())
                                      : rig.programmer->getFlashData(next, block.data()),
                  GetParam().code);
        EXPECT_EQ(rig.probe->statistics().transfers, transfers);
    }

    // A chip that answers is left running, whatever the failure.
    rig.programmer.reset();
    if (outcome.code == kProtected || outcome.code == kVerifyMismatch) {
        EXPECT_TRUE(rig.probe->statistics().cpuRunning);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Injected, StlinkFaults,
    ::testing::Values(
        FaultCase{"NoProbe", [](auto& o) { o.faults.noProbe = true; }, true, kNoProgrammer,
                  "lsusb"},
        FaultCase{"NoPermission", [](auto& o) { o.faults.accessDenied = true; }, true,
                  kNoProgrammer, "udev"},
        FaultCase{"HeldByAnotherProgram", [](auto& o) { o.faults.claimBusy = true; }, false,
                  kNoProgrammer, "占用"},
        FaultCase{"NoSwimV2", [](auto& o) { o.faults.noSwim = true; }, true, kNoProgrammer, "SWIM"},
        FaultCase{"NoSwimV2_1",
                  [](auto& o) {
                      o.productId = 0x374B;
                      o.faults.noSwim = true;
                  },
                  false, kNoProgrammer, "SWIM"},
        FaultCase{"TargetAbsent", [](auto& o) { o.faults.targetAbsent = true; }, true,
                  kTargetSilent, "NRST"},
        FaultCase{"TargetLost", [](auto& o) { o.faults.targetLostAtBlock = 20; }, true,
                  kTargetSilent, "NRST"},
        FaultCase{"ReadOutProtectedDownload", [](auto& o) { o.faults.readoutProtected = true; },
                  true, kProtected, "ROP"},
        FaultCase{"ReadOutProtectedReadBack", [](auto& o) { o.faults.readoutProtected = true; },
                  false, kProtected, "ROP"},
        FaultCase{"BootBlocksProtected", [](auto& o) { o.faults.ubcBlocks = 4; }, true, kProtected,
                  "UBC"},
        FaultCase{"Unplugged", [](auto& o) { o.faults.unplugAtBlock = 20; }, true, kProbeLost,
                  "USB"},
        FaultCase{"StuckProbe", [](auto& o) { o.faults.usbTimeoutFromTransfer = 300; }, true,
                  kProbeLost, "USB"},
        FaultCase{"StuckProbeReadBack", [](auto& o) { o.faults.usbTimeoutFromTransfer = 60; },
                  false, kProbeLost, "USB"},
        FaultCase{"ShortTransfer", [](auto& o) { o.faults.shortTransferAt = 100; }, true,
                  kProbeLost, "USB"}),
    [](const auto& info) { return std::string(info.param.name); });

// Faults the emulated chip does not make by itself, faked in the probe's replies.
kw::test::ReplyTamper flipByteAt(std::uint32_t flashAddress) {
    return [flashAddress](int reply, int, std::uint32_t address, std::uint8_t* data, int length) {
        if (reply == 0x0C && address <= flashAddress &&
            flashAddress < address + static_cast<std::uint32_t>(length))
            data[flashAddress - address] ^= 0x01;
    };
}

TEST(StlinkDownload, ReportsAMismatchAndABlockThatNeverEnds) {
    // Early, in the second-to-last call (still programming when the last call comes), and in
    // the very last block: the last call waits for all of it.
    for (const std::uint32_t flipped : {0x8100U, 0x8000U + 62 * 128 + 70, 0x8000U + kFlash - 1}) {
        SCOPED_TRACE(flipped);
        Rig mismatch;
        mismatch.tamper = flipByteAt(flipped);
        EXPECT_EQ(mismatch.download(pattern(9)).code, kVerifyMismatch);
    }

    // From the first flash write on, the probe stays busy, as if a block never ended.
    Rig stuck;
    bool written = false;
    stuck.tamper = [&written](int reply, int memoryCommand, std::uint32_t address,
                              std::uint8_t* data, int) {
        written = written || (memoryCommand == 0x0A && address >= kFlashBase);
        if (reply == 0x09 && written)
            data[0] = 0x01;
    };
    const auto outcome = stuck.download(pattern(10));
    EXPECT_EQ(outcome.code, kProgramTimeout);
    EXPECT_LT(outcome.callMs, kWithinLimitsMs);
}

// What the end of a transfer leaves behind: the probe out of SWIM mode and free for the next
// program, after a transfer cut short (EndTransfer) and a failed one.
TEST(StlinkCleanup, EndingTheTransferFreesTheProbe) {
    Rig rig;
    const auto probeMode = [&rig] { return probeCommand(*rig.probe, {0xF5}, 2); };
    constexpr int kSwimMode = 3;

    const Image image = pattern(11);
    EXPECT_EQ(rig.download(image, 10).code, kDone);
    rig.programmer->end();
    rig.programmer.reset();
    EXPECT_NE(probeMode(), kSwimMode);
    constexpr int kWritten = 10 * 128;
    EXPECT_EQ(rig.flash(kWritten), Image(image.begin(), image.begin() + kWritten));

    rig.restart();
    rig.tamper = flipByteAt(0x8400);
    EXPECT_EQ(rig.download(image).code, kVerifyMismatch);
    rig.programmer.reset();
    EXPECT_NE(probeMode(), kSwimMode);
    EXPECT_TRUE(rig.probe->statistics().cpuRunning);

    rig.tamper = {};
    rig.restart();
    EXPECT_EQ(rig.download(image).code, kDone);
    EXPECT_EQ(rig.flash(), image);
    EXPECT_NE(probeMode(), kSwimMode);
}

TEST(StlinkArguments, BadCallsFailWithoutTouchingTheProbe) {
    Rig rig;
    std::array<std::uint8_t, 128> block{};
    EXPECT_EQ(rig.programmer->setFlashData(5, block.data()), kBadArgument);
    EXPECT_EQ(rig.programmer->setFlashData(8192, block.data()), kBadArgument);
    EXPECT_EQ(rig.programmer->setFlashData(-128, block.data()), kBadArgument);
    EXPECT_EQ(rig.programmer->setFlashData(0, nullptr), kBadArgument);
    EXPECT_EQ(rig.programmer->getFlashData(8192, block.data()), kBadArgument);
    EXPECT_EQ(rig.probe->statistics().transfers, 0);
}

TEST(StlinkErrorText, CutsBetweenCharactersAndKnowsOnlyItsCodes) {
    Rig rig;
    char text[512];
    EXPECT_EQ(rig.programmer->errorText(kDone, text, sizeof text), 0);
    EXPECT_EQ(rig.programmer->errorText(99, text, sizeof text), 0);

    const int length = rig.programmer->errorText(kTargetSilent, text, sizeof text);
    const std::string whole(text);
    ASSERT_EQ(static_cast<int>(whole.size()), length);
    for (int size = 1; size <= length + 1; ++size) {
        char cut[512];
        std::memset(cut, 'x', sizeof cut);
        EXPECT_EQ(rig.programmer->errorText(kTargetSilent, cut, size), length);
        const std::string part(cut);
        ASSERT_LT(static_cast<int>(part.size()), size);
        EXPECT_GE(static_cast<int>(part.size()) + 3, std::min(size - 1, length));
        EXPECT_EQ(whole.compare(0, part.size(), part), 0);
        // The cut falls before a character's first byte, never inside one.
        if (part.size() < whole.size()) {
            EXPECT_NE(static_cast<unsigned char>(whole[part.size()]) & 0xC0, 0x80);
        }
    }
    EXPECT_EQ(rig.programmer->errorText(kTargetSilent, nullptr, 0), length);
}

// Chinese unless the caller asks for English; a language it does not have changes nothing.
TEST(StlinkErrorText, SpeaksEnglishWhenAsked) {
    Rig rig;
    EXPECT_THAT(rig.errorText(kTargetSilent), HasSubstr("目标芯片没有应答"));
    EXPECT_FALSE(rig.programmer->setOption("language", "fr"));
    EXPECT_THAT(rig.errorText(kTargetSilent), HasSubstr("目标芯片没有应答"));
    ASSERT_TRUE(rig.programmer->setOption("language", "en"));
    EXPECT_THAT(rig.errorText(kTargetSilent), HasSubstr("the target chip does not answer"));
    for (int k = static_cast<int>(Reason::NoProbe); k <= static_cast<int>(Reason::InternalFault);
         ++k) {
        const std::string english = textOf(static_cast<Reason>(k), Language::English);
        EXPECT_GT(english.size(), 20u) << k;
        EXPECT_TRUE(std::all_of(english.begin(), english.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x80;
        })) << english;
    }
    ASSERT_TRUE(rig.programmer->setOption("language", "zh"));
    EXPECT_THAT(rig.errorText(kTargetSilent), HasSubstr("目标芯片没有应答"));
}

} // namespace

namespace {

// What the chip and the probe do on real links and chips beyond the emulator's defaults: a
// chip slower than typical, a link that errs now and then, a probe left mid-command, a slow
// USB. Each download still ends with the image in flash, the chip running and no flash access
// ever refused for coming while a block programmed.
struct LinkCase {
    const char* name;
    std::function<void(kw::emu::Options&)> inject;
    const char* speed; // in the transfer's description
};

void PrintTo(const LinkCase& c, std::ostream* os) {
    *os << c.name;
}

class StlinkRealLinks : public ::testing::TestWithParam<LinkCase> {};

TEST_P(StlinkRealLinks, DownloadCompletesByteIdentical) {
    kw::emu::Options options = Rig::defaults();
    GetParam().inject(options);
    Rig rig(options);
    rig.probe->poke(kFlashBase, pattern(20));
    const Image image = pattern(21);
    const auto outcome = rig.download(image);
    ASSERT_EQ(outcome.code, kDone)
        << "block " << outcome.block << ": " << rig.errorText(outcome.code);
    EXPECT_EQ(rig.flash(), image);
    EXPECT_THAT(rig.programmer->description(), HasSubstr(GetParam().speed));
    const auto statistics = rig.probe->statistics();
    EXPECT_EQ(statistics.busyRefusals, 0);
    EXPECT_TRUE(statistics.cpuRunning);
    Image read;
    EXPECT_EQ(rig.readBack(read).code, kDone);
    EXPECT_EQ(read, image);
}

INSTANTIATE_TEST_SUITE_P(
    Strict, StlinkRealLinks,
    ::testing::Values(
        LinkCase{"SlowestDataSheetBlocks",
                 [](auto& o) { o.blockMicrosMin = o.blockMicrosMax = 6600; }, "SWIM high speed"},
        LinkCase{"ChipSlowerThanTheDataSheet",
                 [](auto& o) { o.blockMicrosMin = o.blockMicrosMax = 12000; }, "SWIM high speed"},
        LinkCase{"NotReadyOncePerBlock", [](auto& o) { o.faults.badStatePerBlock = true; },
                 "SWIM high speed"},
        LinkCase{"VersionQueryFailsOnce", [](auto& o) { o.faults.versionFailOnce = true; },
                 "SWIM high speed"},
        LinkCase{"ErrorsAtHighSpeed", [](auto& o) { o.faults.flakyHighSpeed = true; },
                 "SWIM low speed (after errors at high speed)"}),
    [](const auto& info) { return std::string(info.param.name); });

// A slow USB (virtual machines, usbip, frame-bound host controllers) makes a transfer slow,
// not a lost probe.
TEST(StlinkSlowUsb, ProgramsAndReadsBackAtMillisecondsPerTransfer) {
    kw::emu::Options options = Rig::defaults();
    options.usbTransferMicros = 4000;
    Rig rig(options);
    const Image image = pattern(22);
    constexpr int kCalls = 4;
    EXPECT_EQ(rig.download(image, kCalls).code, kDone);
    rig.programmer->end();
    EXPECT_EQ(rig.flash(kCalls * 128), Image(image.begin(), image.begin() + kCalls * 128));
    EXPECT_TRUE(rig.probe->statistics().cpuRunning);

    options.usbTransferMicros = 30000;
    Rig slower(options);
    slower.probe->poke(kFlashBase, image);
    Image read;
    const auto outcome = slower.readBack(read);
    EXPECT_EQ(outcome.code, kDone) << slower.errorText(outcome.code);
    EXPECT_EQ(read, image);
}

// The probe report over a link that errs at high speed: the errors it recovered from are part
// of what a bug report needs, and the chip runs afterwards.
TEST(StlinkReport, DescribesTheLinkAndItsErrors) {
    kw::emu::Options options = Rig::defaults();
    options.faults.flakyHighSpeed = true;
    Rig rig(options);
    std::string text;
    EXPECT_EQ(rig.programmer->report("probes", text), kDone) << text;
    EXPECT_THAT(text, HasSubstr("SWIM capable"));
    EXPECT_THAT(text, HasSubstr("Connected: ST-LINK/V2 (0483:3748), firmware V2 J37 S7, SWIM"));
    EXPECT_EQ(text.find("Connected:"), text.rfind("Connected:")) << text;
    EXPECT_THAT(text, HasSubstr("Flash reads back: yes"));
    EXPECT_THAT(text, HasSubstr("SWIM errors recovered by a resynchronisation and a retry"));
    EXPECT_TRUE(rig.probe->statistics().cpuRunning);

    std::string session;
    EXPECT_EQ(rig.programmer->report("session", session), kDone);
    EXPECT_THAT(session, HasSubstr("ST-LINK/V2 (0483:3748)"));
    EXPECT_EQ(rig.programmer->report("everything", session), kBadArgument);
    EXPECT_EQ(session, "");
    EXPECT_FALSE(rig.programmer->setOption("swim", "fast"));
    EXPECT_FALSE(rig.programmer->setOption("probe", "1-2\n"));
    EXPECT_FALSE(rig.programmer->setOption("speed", "high"));
}

// The worker lives within a transfer: gone after the last block, after a failing call and at
// the end of a transfer cut short, so nothing is left for the library's unloading to join.
TEST(StlinkSession, NoThreadOutlivesTheTransfer) {
    const int before = kw::test::threadCount();
    Rig rig;
    const Image image = pattern(30);
    EXPECT_EQ(rig.download(image, 3).code, kDone);
    EXPECT_EQ(kw::test::threadCount(), before + 1);
    rig.programmer->end();
    EXPECT_EQ(kw::test::threadCount(), before);

    EXPECT_EQ(rig.download(image).code, kDone);
    EXPECT_EQ(kw::test::threadCount(), before);
    EXPECT_EQ(rig.flash(), image);

    rig.tamper = flipByteAt(0x8200);
    EXPECT_EQ(rig.download(pattern(31)).code, kVerifyMismatch);
    EXPECT_EQ(kw::test::threadCount(), before);
    rig.tamper = {};

    // The next transfer in the same library instance starts its own worker and session.
    EXPECT_EQ(rig.download(image).code, kDone);
    EXPECT_EQ(rig.flash(), image);
    EXPECT_EQ(kw::test::threadCount(), before);
}

// A fault of the library itself is code 9 with its own text, never "probe lost", whether it
// comes in the caller's thread (connecting) or the worker's (programming).
TEST(StlinkSession, InternalFaultIsItsOwnCode) {
    for (const bool inWorker : {false, true}) {
        Rig rig;
        int replies = 0;
        rig.tamper = [&](int reply, int memoryCommand, std::uint32_t address, std::uint8_t*, int) {
            ++replies;
            const bool flashWrite = memoryCommand == 0x0A && address >= kFlashBase;
            if (reply == 0x09 && (inWorker ? flashWrite : replies == 3))
                throw std::bad_alloc();
        };
        const auto outcome = rig.download(pattern(32));
        EXPECT_EQ(outcome.code, kInternalFault) << inWorker;
        EXPECT_THAT(rig.errorText(kInternalFault), HasSubstr("编程库内部错误"));
        rig.tamper = {};
        rig.programmer->end();
        EXPECT_EQ(rig.download(pattern(32)).code, kDone);
    }
}

// Two probes on one bus, each with its own chip; clone probes may share a serial.
struct TwoProbes {
    explicit TwoProbes(std::string secondSerial = "SERIAL-B") {
        kw::emu::Options options = Rig::defaults();
        first = std::make_unique<kw::emu::Probe>(options);
        options.productId = 0x374F;
        second = std::make_unique<kw::emu::Probe>(options);
        attached = {{first.get(), "1-2", "SERIAL-A"}, {second.get(), "3-2.4", secondSerial}};
        programmer = std::make_unique<Programmer>(
            [this] { return std::make_unique<kw::test::EmulatedPort>(attached, nullptr); });
    }
    ResultCode download(const Image& image) {
        for (int block = 0; block < 64; ++block)
            if (const ResultCode code = programmer->setFlashData(
                    block * 128, const_cast<std::uint8_t*>(image.data()) + block * 128);
                code > 0)
                return code;
        return kDone;
    }
    std::string errorText(int code) const {
        char text[512];
        return programmer->errorText(code, text, sizeof text) > 0 ? text : "";
    }

    std::unique_ptr<kw::emu::Probe> first;
    std::unique_ptr<kw::emu::Probe> second;
    std::vector<kw::test::AttachedProbe> attached;
    std::unique_ptr<Programmer> programmer;
};

TEST(StlinkChoice, ProgramsTheProbeNamedBySerialOrPath) {
    TwoProbes bus;
    const Image erased(kFlash, 0);
    const Image image = pattern(40);
    ASSERT_TRUE(bus.programmer->setOption("probe", "SERIAL-B"));
    EXPECT_EQ(bus.download(image), kDone);
    EXPECT_EQ(bus.second->peek(kFlashBase, kFlash), image);
    EXPECT_EQ(bus.first->peek(kFlashBase, kFlash), erased);

    ASSERT_TRUE(bus.programmer->setOption("probe", "1-2"));
    EXPECT_EQ(bus.download(image), kDone);
    EXPECT_EQ(bus.first->peek(kFlashBase, kFlash), image);

    // Nothing chosen: the first usable probe, as the window uses it.
    const Image other = pattern(41);
    ASSERT_TRUE(bus.programmer->setOption("probe", ""));
    EXPECT_EQ(bus.download(other), kDone);
    EXPECT_EQ(bus.first->peek(kFlashBase, kFlash), other);
    EXPECT_EQ(bus.second->peek(kFlashBase, kFlash), image);

    ASSERT_TRUE(bus.programmer->setOption("probe", "3-2.4"));
    std::string text;
    EXPECT_EQ(bus.programmer->report("probes", text), kDone) << text;
    EXPECT_THAT(text, HasSubstr("Using the probe at 3-2.4."));
    EXPECT_THAT(text, HasSubstr("Connected: STLINK-V3 (0483:374f)"));
}

TEST(StlinkChoice, RefusesAMissingProbeAndASharedSerial) {
    TwoProbes bus;
    ASSERT_TRUE(bus.programmer->setOption("probe", "1-3"));
    EXPECT_EQ(bus.download(pattern(42)), kNoProgrammer);
    EXPECT_THAT(bus.errorText(kNoProgrammer), HasSubstr("USB端口路径为 1-3 的ST-LINK"));
    ASSERT_TRUE(bus.programmer->setOption("probe", "NOSUCH"));
    EXPECT_EQ(bus.download(pattern(42)), kNoProgrammer);
    EXPECT_THAT(bus.errorText(kNoProgrammer), HasSubstr("序列号为 NOSUCH 的ST-LINK"));

    TwoProbes clones("SERIAL-A");
    ASSERT_TRUE(clones.programmer->setOption("probe", "SERIAL-A"));
    EXPECT_EQ(clones.download(pattern(43)), kNoProgrammer);
    EXPECT_THAT(clones.errorText(kNoProgrammer), HasSubstr("SERIAL-A（USB端口 1-2、3-2.4）"));
    std::string text;
    EXPECT_EQ(clones.programmer->report("probes", text), kNoProgrammer);
    EXPECT_THAT(text, HasSubstr("Failed: 有多个ST-LINK的序列号都是 SERIAL-A"));
    // The path still tells them apart.
    ASSERT_TRUE(clones.programmer->setOption("probe", "3-2.4"));
    EXPECT_EQ(clones.download(pattern(43)), kDone);
    EXPECT_EQ(clones.second->peek(kFlashBase, kFlash), pattern(43));
}

TEST(StlinkChoice, ListsEveryProbeOneTokenPerField) {
    TwoProbes bus("odd serial=%");
    bus.second->poke(kFlashBase, pattern(44));
    std::string text;
    EXPECT_EQ(bus.programmer->report("list", text), kDone);
    EXPECT_EQ(text, "1-2 serial=SERIAL-A product=0483:3748 generation=V2 firmware=V2J37S7 "
                    "swim=yes usable=yes\n"
                    "3-2.4 serial=odd%20serial%3D%25 product=0483:374f generation=V3 "
                    "firmware=V3J7S1 swim=yes usable=yes\n");
    // Listing touches no chip.
    EXPECT_EQ(bus.second->peek(kFlashBase, kFlash), pattern(44));
}

TEST(StlinkChoice, PortPathsAsLinuxWritesThem) {
    for (const char* path : {"1-1", "3-2.4", "12-1.2.3.4.5.6.7"})
        EXPECT_TRUE(isPortPath(path)) << path;
    for (const char* serial :
         {"1", "1-", "-1", "1-2.", "1.2", "1-2-3", "0668FF", "1-a", "1-1.2.3.4.5.6.7.8"})
        EXPECT_FALSE(isPortPath(serial)) << serial;
}

} // namespace
