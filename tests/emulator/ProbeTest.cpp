// The emulated ST-LINK: framing, status polling, speeds, versions, faults, persistence, timing.
#include "SwimClient.h"

#include <libusb.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <unistd.h>

namespace {

constexpr std::uint8_t kBusy = 0x01, kNoResponse = 0x04;

TEST(EmulatedProbe, SplitWriteTakesWhateverFollowsAsDataUntilComplete) {
    SwimClient c;
    c.connect();
    EXPECT_EQ(c.write(0x0100, pattern(64, 1)), 0x00);
    c.send({0xF4, 0x09});
    EXPECT_EQ(c.receive(4), (std::vector<std::uint8_t>{0x00, 0, 0, 0}))
        << "a finished command reports no count";
    EXPECT_EQ(c.read(0x0100, 64), pattern(64, 1));

    // A 24-byte write whose data phase is forgotten: the next frame becomes its data.
    c.send({0xF4, 0x0A, 0x00, 24, 0x00, 0x00, 0x02, 0x00, 1, 2, 3, 4, 5, 6, 7, 8});
    c.send({0xF4, 0x09});
    int result = 0;
    c.receive(4, &result);
    EXPECT_EQ(result, LIBUSB_ERROR_TIMEOUT) << "the status request was swallowed as data";
    EXPECT_EQ(c.read(0x0208, 2), (std::vector<std::uint8_t>{0xF4, 0x09}));
}

TEST(EmulatedProbe, StatusAnswersBusyUntilTheWireIsDone) {
    SwimClient c;
    c.send({0xF4, 0x00});
    c.send({0xF4, 0x04});
    const double start = c.emulatedMs();
    EXPECT_EQ(c.status(), kBusy);
    EXPECT_EQ(c.waitStatus(), 0x00);
    EXPECT_GE(c.emulatedMs() - start, 9.6) << "entry sequence";

    c.write(0x7F80, {0xA0});
    c.send({0xF4, 0x0B, 0x18, 0x00, 0x00, 0x00, 0x80, 0x00}); // 6144 bytes at low speed
    EXPECT_EQ(c.status(), kBusy);
    c.send({0xF4, 0x0C});
    EXPECT_EQ(c.receive(6144), std::vector<std::uint8_t>(6144, 0)) << "read before the end";
}

TEST(EmulatedProbe, SpeedMismatchAnswersNoResponseUntilBothSidesAgree) {
    SwimClient c;
    c.connect(0xA0);
    c.send({0xF4, 0x03, 0x01}); // probe fast, chip slow
    EXPECT_EQ(c.waitStatus(), kNoResponse);
    std::uint8_t status = 0;
    c.read(0x7F80, 1, &status);
    EXPECT_EQ(status, kNoResponse);
    c.send({0xF4, 0x03, 0x00});
    EXPECT_EQ(c.waitStatus(), 0x00);
    c.write(0x7F80, {0xB0}); // HS
    c.send({0xF4, 0x03, 0x01});
    EXPECT_EQ(c.waitStatus(), 0x00);
    EXPECT_EQ(c.readByte(0x7F80), 0xB2);

    auto options = SwimClient::instant();
    options.faults.hsitNeverSet = true;
    SwimClient slow(options);
    slow.connect(0xB0);
    EXPECT_EQ(slow.readByte(0x7F80), 0xA0) << "no HSIT, no HS";
    slow.send({0xF4, 0x03, 0x01});
    EXPECT_EQ(slow.waitStatus(), kNoResponse);
}

TEST(EmulatedProbe, ReadsAndWritesStopAtTheProbeBuffer) {
    SwimClient c;
    c.connect();
    c.send({0xF4, 0x0D});
    EXPECT_EQ(c.receive(2), (std::vector<std::uint8_t>{0x00, 0x18}));
    std::uint8_t status = 0xFF;
    c.read(0x8000, 6144, &status);
    EXPECT_EQ(status, 0x00);
    c.read(0x8000, 6145, &status);
    EXPECT_NE(status, 0x00);
    EXPECT_NE(status, kBusy);
}

struct VersionCase {
    std::uint16_t pid;
    bool swim;
    std::vector<std::uint8_t> f1; // first two bytes of the F1 reply
    int swimInFb;                 // -1: no FB reply
};

TEST(EmulatedProbe, VersionReportsSwimTheWayEachFirmwareDoes) {
    const VersionCase cases[] = {
        {0x3748, true, {0x29, 0x47}, -1},  // V2J37S7
        {0x3748, false, {0x29, 0x40}, -1}, // V2J37S0
        {0x374B, true, {0x26, 0x47}, -1},  // V2-1 M25S7
        {0x3752, false, {0x2A, 0x1B}, -1}, // V2-1 J40M27: the low field is MSD, not SWIM
        {0x374F, true, {0x30, 0x00}, 1},   // V3: F1 says nothing, FB tells
        {0x3754, false, {0x30, 0x00}, 0},
    };
    for (const VersionCase& v : cases) {
        auto options = SwimClient::instant();
        options.productId = v.pid;
        options.faults.noSwim = !v.swim;
        SwimClient c(options);
        SCOPED_TRACE(testing::Message() << std::hex << v.pid << " swim " << v.swim);
        c.send({0xF1});
        const auto f1 = c.receive(6);
        ASSERT_EQ(f1.size(), 6U);
        EXPECT_EQ(std::vector<std::uint8_t>(f1.begin(), f1.begin() + 2), v.f1);
        EXPECT_EQ(f1[4] | f1[5] << 8, v.pid);
        c.send({0xFB});
        int result = 0;
        const auto fb = c.receive(12, &result);
        if (v.swimInFb < 0)
            EXPECT_EQ(result, LIBUSB_ERROR_TIMEOUT);
        else
            EXPECT_EQ(fb.at(1), v.swimInFb);
    }
    auto options = SwimClient::instant();
    options.productId = 0x374E;
    SwimClient v3(options);
    v3.sendRaw({0xF1});
    int result = 0;
    v3.receive(6, &result);
    EXPECT_EQ(result, LIBUSB_ERROR_TIMEOUT) << "V3 ignores a short frame";
}

TEST(EmulatedProbe, ModeAndDfuExitAsStLinkReportsThem) {
    SwimClient c;
    c.send({0xF5});
    EXPECT_EQ(c.receive(2), (std::vector<std::uint8_t>{0x00, 0x01})) << "DFU after power-up";
    c.send({0xF3, 0x07});
    c.send({0xF2, 0x30, 0xA3}); // another tool's SWD session
    c.receive(2);
    c.send({0xF5});
    EXPECT_EQ(c.receive(2).at(0), 0x02);
    c.send({0xF4, 0x00});
    c.send({0xF5});
    EXPECT_EQ(c.receive(2).at(0), 0x02) << "SWIM needs debug mode left first";
    c.send({0xF2, 0x21});
    c.send({0xF4, 0x00});
    c.send({0xF5});
    EXPECT_EQ(c.receive(2), (std::vector<std::uint8_t>{0x03, 0x00}));
}

TEST(EmulatedProbe, UsbFaults) {
    auto options = SwimClient::instant();
    options.faults.accessDenied = true;
    EXPECT_EQ(kw::emu::Probe(options).open(), LIBUSB_ERROR_ACCESS);

    options = SwimClient::instant();
    options.faults.claimBusy = true;
    kw::emu::Probe busy(options);
    EXPECT_EQ(busy.open(), 0);
    EXPECT_EQ(busy.claimInterface(0), LIBUSB_ERROR_BUSY);

    options = SwimClient::instant();
    options.faults.usbTimeoutFromTransfer = 1;
    SwimClient stuck(options);
    EXPECT_EQ(stuck.send({0xF1}), 0);
    const double before = stuck.emulatedMs();
    EXPECT_EQ(stuck.send({0xF5}), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(stuck.emulatedMs() - before, 99.9) << "a timeout takes the whole timeout";
    EXPECT_EQ(stuck.send({0xF5}), LIBUSB_ERROR_TIMEOUT);

    options = SwimClient::instant();
    options.faults.shortTransferAt = 1;
    SwimClient cut(options);
    cut.send({0xF1});
    EXPECT_EQ(cut.receive(6).size(), 3U);
}

TEST(EmulatedProbe, ProbeUnpluggedOrTargetLostAfterSomeBlocks) {
    auto options = SwimClient::instant();
    options.faults.unplugAtBlock = 2;
    SwimClient c(options);
    c.connect();
    c.unlockFlash();
    c.programBlock(0x8000, pattern(64, 1));
    c.programBlock(0x8040, pattern(64, 2));
    c.write(0x505B, {0x01, 0xFE});
    EXPECT_EQ(c.send({0xF4, 0x0A, 0x00, 64, 0x00, 0x00, 0x80, 0x80}), 0);
    EXPECT_EQ(c.sendRaw(pattern(56, 3)), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(c.probe.present());
    EXPECT_EQ(c.send({0xF4, 0x09}), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(c.probe.peek(0x8040, 64), pattern(64, 2));
    EXPECT_EQ(c.probe.peek(0x8080, 64), std::vector<std::uint8_t>(64, 0));

    options = SwimClient::instant();
    options.faults.targetLostAtBlock = 1;
    SwimClient lost(options);
    lost.connect();
    lost.unlockFlash();
    lost.programBlock(0x8000, pattern(64, 1));
    lost.write(0x505B, {0x01, 0xFE});
    EXPECT_EQ(lost.write(0x8040, pattern(64, 2)), kNoResponse);
    EXPECT_TRUE(lost.probe.present());
}

TEST(EmulatedProbe, MemoryAndProbeModeOutliveTheProbeAndTheFileIsItsLock) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("kw-emu-test-" + std::to_string(::getpid()) + ".bin");
    auto options = SwimClient::instant();
    options.memoryFile = file.string();
    {
        SwimClient first(options);
        first.connect();
        first.unlockFlash();
        first.programBlock(0x9FC0, pattern(64, 4));
        ASSERT_EQ(first.probe.claimInterface(0), 0);
        kw::emu::Probe second(options);
        EXPECT_EQ(second.claimInterface(0), LIBUSB_ERROR_BUSY) << "held by another program";
        first.probe.releaseInterface(0);
        EXPECT_EQ(second.claimInterface(0), 0);
    }
    SwimClient later(options);
    EXPECT_EQ(later.probe.peek(0x9FC0, 64), pattern(64, 4));
    later.send({0xF5});
    EXPECT_EQ(later.receive(2).at(0), 0x03) << "still in SWIM mode from the earlier run";
    std::filesystem::remove(file);

    std::ofstream(file) << "someone else's file\n";
    EXPECT_THROW(kw::emu::Probe{options}, std::runtime_error);
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "someone else's file\n");
    std::filesystem::remove(file);
}

TEST(EmulatedProbe, EmulatedTimeFollowsTheWire) {
    SwimClient c;
    c.connect(0xB0);
    c.send({0xF4, 0x03, 0x01});
    c.waitStatus();
    const double start = c.emulatedMs();
    c.read(0x8000, 6144);
    c.read(0x9800, 2048);
    // 8192 bytes x 11 bits at 800 kbit/s = 112.6 ms, plus headers and USB.
    EXPECT_GT(c.emulatedMs() - start, 113.0);
    EXPECT_LT(c.emulatedMs() - start, 135.0);

    auto realTime = SwimClient::instant();
    realTime.timeScale = 1;
    SwimClient wall(realTime);
    const auto t0 = std::chrono::steady_clock::now();
    wall.connect();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::microseconds(9600))
        << "at scale 1 the entry sequence takes its time";
}

} // namespace

namespace {

constexpr std::uint8_t kBadState = 0x05;

TEST(EmulatedProbeStatus, CountsBytesDoneWhileBusyAndNothingOnceDone) {
    SwimClient c;
    c.connect(); // low speed: a 6144-byte read takes about 190 ms on the wire
    c.send({0xF4, 0x0B, 0x18, 0x00, 0x00, 0x00, 0x80, 0x00});
    std::vector<unsigned> counts;
    std::vector<std::uint8_t> reply{kBusy};
    while (reply.at(0) == kBusy) {
        c.send({0xF4, 0x09});
        reply = c.receive(4);
        ASSERT_EQ(reply.size(), 4U);
        if (reply[0] == kBusy)
            counts.push_back(reply[1] | reply[2] << 8); // little endian
    }
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{0, 0, 0, 0})) << "a finished read";
    ASSERT_GT(counts.size(), 100U);
    EXPECT_GT(counts.back(), 6000U) << "bytes 1-2 hold the count in little-endian order";
    EXPECT_LT(counts.back(), 6144U);
    // Polls come every 0.27 ms, a byte takes 30 µs: each answer differs from the last, so a
    // client that gives up after a few unchanged answers keeps waiting.
    for (std::size_t i = 1; i < counts.size(); ++i)
        ASSERT_GT(counts[i], counts[i - 1]) << "poll " << i;
    c.send({0xF4, 0x0C});
    EXPECT_EQ(c.receive(6144).size(), 6144U);

    c.send({0xF4, 0x04}); // not a transfer: nothing to count
    c.send({0xF4, 0x09});
    EXPECT_EQ(c.receive(4), (std::vector<std::uint8_t>{kBusy, 0, 0, 0}));
}

TEST(EmulatedProbeFaults, BadStateAfterEachBlockComesOnceAndChangesNothing) {
    auto options = SwimClient::instant();
    options.faults.badStatePerBlock = true;
    SwimClient c(options);
    c.connect();
    c.unlockFlash();
    for (std::uint8_t block = 0; block < 2; ++block) {
        c.write(0x505B, {0x01, 0xFE});
        EXPECT_EQ(c.write(0x8000 + block * 64U, pattern(64, block)), 0x00);
        EXPECT_EQ(c.write(0x0010, {0xAB}), kBadState) << "the access after the block";
        EXPECT_EQ(c.readByte(0x0010), 0x00) << "the refused write changed nothing";
        EXPECT_NE(c.waitFlash() & 0x04, 0) << "later accesses succeed";
        EXPECT_EQ(c.read(0x8000 + block * 64U, 64), pattern(64, block));
    }
    EXPECT_EQ(c.probe.statistics().busyRefusals, 0) << "injected, not a busy controller";
}

TEST(EmulatedProbeFaults, BadStateAtTheNthMemoryCommandComesOnce) {
    auto options = SwimClient::instant();
    options.faults.badStateAtCommand = 2;
    SwimClient c(options);
    c.connect();                                   // memory command 0: SWIM_CSR
    EXPECT_EQ(c.write(0x0000, {0x5A}), 0x00);      // 1
    EXPECT_EQ(c.write(0x0001, {0x5B}), kBadState); // 2
    EXPECT_EQ(c.write(0x0001, {0x5B}), 0x00) << "the retry succeeds";
    EXPECT_EQ(c.read(0x0000, 2), (std::vector<std::uint8_t>{0x5A, 0x5B}));
}

TEST(EmulatedProbeFaults, VersionQueryGetsNoReplyUntilTheDeviceIsReset) {
    auto options = SwimClient::instant();
    options.faults.versionFailOnce = true;
    SwimClient c(options);
    int result = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(c.send({0xF1}), 0) << "the OUT transfer still goes through";
        c.receive(6, &result);
        EXPECT_EQ(result, LIBUSB_ERROR_TIMEOUT) << "attempt " << attempt;
    }
    EXPECT_EQ(c.probe.resetDevice(), 0);
    c.send({0xF1});
    EXPECT_EQ(c.receive(6, &result).size(), 6U);
    EXPECT_EQ(result, 0);
}

TEST(EmulatedProbeFaults, FlakyHighSpeedFailsEveryThirdCommandOnlyAtHighSpeed) {
    auto options = SwimClient::instant();
    options.faults.flakyHighSpeed = true;
    SwimClient c(options);
    c.connect(0xA0);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(c.write(0x0000, {static_cast<std::uint8_t>(i)}), 0x00) << "low speed " << i;
    c.write(0x7F80, {0xB0});
    c.send({0xF4, 0x03, 0x01});
    ASSERT_EQ(c.waitStatus(), 0x00);
    std::vector<std::uint8_t> statuses;
    for (int i = 0; i < 6; ++i)
        statuses.push_back(c.write(0x0100 + i, {0xEE}));
    EXPECT_EQ(statuses, (std::vector<std::uint8_t>{0, 0, kNoResponse, 0, 0, kNoResponse}));
    const auto ram = c.read(0x0100, 6);
    c.send({0xF4, 0x03, 0x00}); // back to low speed on both sides
    EXPECT_EQ(ram.at(1), 0xEE);
    EXPECT_NE(ram.at(2), 0xEE) << "the failed write changed nothing";
}

TEST(EmulatedProbe, V3AnswersTheModeQueryAsOneWasSeenTo) {
    auto options = SwimClient::instant();
    options.productId = 0x374F;
    SwimClient c(options);
    c.send({0xF5});
    EXPECT_EQ(c.receive(2), (std::vector<std::uint8_t>{0x01, 0x03})) << "mass storage";
    c.send({0xF3, 0x07});
    c.send({0xF4, 0x00});
    c.send({0xF5});
    EXPECT_EQ(c.receive(2).at(0), 0x03);
}

TEST(EmulatedProbe, StrictnessOptionsComeFromTheEnvironment) {
    ::setenv("KW_EMU_BLOCK_US", "12000", 1);
    ::setenv("KW_EMU_BUSY_ACCESS", "wait", 1);
    ::setenv("KW_EMU_SEED", "42", 1);
    ::setenv("KW_EMU_FAULTS", "bad-state-per-block,bad-state@7,version-fail-once,flaky-high-speed",
             1);
    auto options = kw::emu::optionsFromEnvironment();
    EXPECT_EQ(options.blockMicrosMin, 12000);
    EXPECT_EQ(options.blockMicrosMax, 12000);
    EXPECT_EQ(options.busyAccess, kw::emu::BusyAccess::Wait);
    EXPECT_EQ(options.seed, 42U);
    EXPECT_TRUE(options.faults.badStatePerBlock);
    EXPECT_EQ(options.faults.badStateAtCommand, 7);
    EXPECT_TRUE(options.faults.versionFailOnce);
    EXPECT_TRUE(options.faults.flakyHighSpeed);

    ::setenv("KW_EMU_BLOCK_US", "6000-6600", 1);
    ::unsetenv("KW_EMU_BUSY_ACCESS");
    EXPECT_EQ(kw::emu::optionsFromEnvironment().blockMicrosMax, 6600);
    EXPECT_EQ(kw::emu::optionsFromEnvironment().busyAccess, kw::emu::BusyAccess::Fail);
    for (const char* bad : {"6600-6000", "0", "6000-", "fast"}) {
        ::setenv("KW_EMU_BLOCK_US", bad, 1);
        EXPECT_THROW(kw::emu::optionsFromEnvironment(), std::invalid_argument) << bad;
    }
    ::unsetenv("KW_EMU_BLOCK_US");
    ::setenv("KW_EMU_BUSY_ACCESS", "sometimes", 1);
    EXPECT_THROW(kw::emu::optionsFromEnvironment(), std::invalid_argument);
    ::unsetenv("KW_EMU_BUSY_ACCESS");
    ::setenv("KW_EMU_SEED", "-1", 1);
    EXPECT_THROW(kw::emu::optionsFromEnvironment(), std::invalid_argument);
    ::unsetenv("KW_EMU_SEED");
    ::unsetenv("KW_EMU_FAULTS");
}

// Several probes: each its own memory file, serial and port; faults and products per probe.
TEST(EmulatedProbe, SeveralProbesComeFromTheEnvironment) {
    ::setenv("KW_EMU_MEMORY", "/nonexistent/chip.bin", 1);
    ::setenv("KW_EMU_PROBES", "3", 1);
    ::setenv("KW_EMU_SERIALS", ",CLONE,CLONE", 1);
    ::setenv("KW_EMU_FAULTS_2", "no-swim", 1);
    ::setenv("KW_EMU_PRODUCT_3", "0x374F", 1);
    const auto bus = kw::emu::busFromEnvironment();
    ASSERT_EQ(bus.size(), 3U);
    EXPECT_EQ(bus[0].options.memoryFile, "/nonexistent/chip.bin");
    EXPECT_EQ(bus[2].options.memoryFile, "/nonexistent/chip.bin.3");
    EXPECT_EQ(bus[0].serial, "4B57454D5530303030303031");
    EXPECT_EQ(bus[1].serial, "CLONE");
    EXPECT_EQ(bus[2].serial, "CLONE");
    EXPECT_EQ(bus[0].ports, (std::vector<std::uint8_t>{2}));
    EXPECT_EQ(bus[2].ports, (std::vector<std::uint8_t>{3, 2}));
    EXPECT_FALSE(bus[0].options.faults.noSwim);
    EXPECT_TRUE(bus[1].options.faults.noSwim);
    EXPECT_EQ(bus[2].options.productId, 0x374F);
    EXPECT_EQ(bus[0].options.productId, 0x3748);

    ::setenv("KW_EMU_SERIALS", "A,B,C,D", 1);
    EXPECT_THROW(kw::emu::busFromEnvironment(), std::invalid_argument);
    ::unsetenv("KW_EMU_SERIALS");
    for (const char* bad : {"0", "9", "two"}) {
        ::setenv("KW_EMU_PROBES", bad, 1);
        EXPECT_THROW(kw::emu::busFromEnvironment(), std::invalid_argument) << bad;
    }
    for (const char* name :
         {"KW_EMU_MEMORY", "KW_EMU_PROBES", "KW_EMU_FAULTS_2", "KW_EMU_PRODUCT_3"})
        ::unsetenv(name);
    EXPECT_EQ(kw::emu::busFromEnvironment().size(), 1U);
}

} // namespace
