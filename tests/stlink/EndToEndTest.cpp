// The real window with the real ST-LINK library binary, over the emulated probe: the process
// runs with the emulator's libusb on LD_LIBRARY_PATH, so only the USB below the library is
// emulated. OpenOCD, run against the same emulated chip, checks what the library did.
#include <QByteArray>
#include <QFile>
#include <QTest>
#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "ProbeChecks.h"
#include "emulator/ChipMemory.h"
#include "emulator/Probe.h"
#include "programmer/DlProgrammer.h"
#include "programmer/Pause.h"
#include "programmer/ProgrammerLibrary.h"
#include "support/WindowFixture.h"

// LeakSanitizer's own tracer crashes (signal 11, "LeakSanitizer has encountered a fatal
// error") at the exit of some of these tests, after they passed, with the library's and the
// stand-in libusb's threads just ended. Its leak check is left out of this one program;
// AddressSanitizer and UBSan still check it, and every other suite is checked for leaks.
extern "C" int __lsan_is_turned_off() {
    return 1;
}

namespace {

using Bytes = std::vector<std::uint8_t>;

const QString kEnd = QStringLiteral("下载芯片数据完成。");

Bytes readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct OpenOcdRun {
    int status = -1;
    std::string output;
};

// OpenOCD on the emulated probe: init, reset halt, the commands, shutdown; at most 60 s. No
// server ports, so that tests running at the same time do not collide.
OpenOcdRun openocd(const std::vector<std::string>& commands, const QString& logFile) {
    std::string line = "timeout 60 openocd -f interface/stlink-dap.cfg -f target/stm8s103.cfg "
                       "-c 'gdb_port disabled' -c 'tcl_port disabled' -c 'telnet_port disabled' "
                       "-c init -c 'reset halt'";
    for (const auto& command : commands)
        line += " -c '" + command + "'";
    line += " -c shutdown >'" + logFile.toStdString() + "' 2>&1";
    const int raw = std::system(line.c_str());
    OpenOcdRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const Bytes log = readFile(logFile.toStdString());
    run.output.assign(log.begin(), log.end());
    return run;
}

class StlinkEndToEnd : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        chipFile = dir.filePath(QStringLiteral("chip.bin")).toStdString();
        setenv("KW_EMU_MEMORY", chipFile.c_str(), 1);
        setenv("KW_EMU_TIME_SCALE", "1", 1);
        unsetenv("KW_EMU_FAULTS");
        makeWindow(QStringLiteral(KW_STLINK_DIR));
        // The window's real pauses, so the library's programming overlaps them as in use.
        duringPause = [this](int index) { kw::preciseSleep(pauses[index]); };
    }
    void TearDown() override {
        unsetenv("KW_EMU_MEMORY");
        unsetenv("KW_EMU_FAULTS");
    }
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    std::string file(const char* name) const { return path(name).toStdString(); }

    std::string chipFile;
};

TEST_F(StlinkEndToEnd, TheToolsDownloadIsWhatOpenOcdReadsFromTheChip) {
    openThrough(window->OpenHex, QStringLiteral(KW_EXAMPLES_DIR "/blink.hex"));
    window->DownLoadBtn->click();
    ASSERT_EQ(logLines().size(), 3) << logLines().join('\n').toStdString();
    EXPECT_TRUE(logLines().last().endsWith(kEnd));
    EXPECT_TRUE(prompts->messages.isEmpty());

    const auto run =
        openocd({"dump_image " + file("dump.bin") + " 0x8000 8192"}, path("openocd.log"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(readFile(file("dump.bin")), readFile(KW_EXAMPLES_DIR "/blink.bin"));
}

TEST_F(StlinkEndToEnd, TheToolReadsBackWhatOpenOcdWrote) {
    Bytes image(8192);
    std::mt19937 random(12);
    for (auto& byte : image)
        byte = static_cast<std::uint8_t>(random());
    writeFile(QStringLiteral("image.bin"), QByteArray(reinterpret_cast<const char*>(image.data()),
                                                      static_cast<qsizetype>(image.size())));
    const auto run = openocd({"load_image " + file("image.bin") + " 0x8000 bin",
                              "verify_image " + file("image.bin") + " 0x8000 bin"},
                             path("openocd.log"));
    ASSERT_EQ(run.status, 0) << run.output;

    window->runHandler([this] { window->ReadBtnClick(); });
    ASSERT_TRUE(window->FlashBuf);
    const auto bytes = window->FlashBuf->bytes();
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), image);
    EXPECT_EQ(logLines().size(), 1) << logLines().join('\n').toStdString();
}

TEST_F(StlinkEndToEnd, AProtectedChipIsReportedAsProtectedByBoth) {
    setenv("KW_EMU_FAULTS", "rop", 1);
    openThrough(window->OpenHex, QStringLiteral(KW_EXAMPLES_DIR "/blink.hex"));
    window->DownLoadBtn->click();
    const QStringList lines = logLines();
    EXPECT_TRUE(lines.contains(QStringLiteral("出错代码:4"))) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("出错进度:0")));

    // OpenOCD sees the read-out protection byte set, and its write fails.
    const auto run =
        openocd({"mdb 0x4800 1", "load_image " KW_EXAMPLES_DIR "/blink.bin 0x8000 bin"},
                path("openocd.log"));
    EXPECT_NE(run.output.find("0x00004800: aa"), std::string::npos) << run.output;
    EXPECT_NE(run.status, 0) << run.output;
}

// The tool releases the library after each transfer; a transfer cut short must still leave the
// probe out of SWIM mode, with the blocks sent so far in flash.
TEST_F(StlinkEndToEnd, ReleasingTheLibraryMidDownloadLeavesTheProbeFree) {
    kw::SystemLibraryLoader loader(KW_STLINK_DIR);
    Bytes image(8192);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + 1);
    {
        auto library = loader.load();
        ASSERT_TRUE(library) << loader.lastError();
        const auto setFlashData = library->lookup(kw::kSetFlashDataName);
        ASSERT_NE(setFlashData, nullptr);
        for (int block = 0; block < 3; ++block)
            ASSERT_EQ(setFlashData(block * 128, image.data() + std::ptrdiff_t{block} * 128), 0);
    }

    {
        kw::emu::Options options;
        options.memoryFile = chipFile;
        const kw::emu::Probe probe(options);
        EXPECT_EQ(probe.peek(0x8000, 384), Bytes(image.begin(), image.begin() + 384));
    }
    kw::test::expectProbeFree(chipFile);
}

// EndTransfer, which a host calls just before releasing the library, ends a download cut
// short while the library is still loaded: its worker thread is gone and the probe is free.
TEST_F(StlinkEndToEnd, EndTransferEndsACutShortDownloadWhileTheLibraryIsLoaded) {
    const int before = kw::test::threadCount();
    kw::DlProgrammer programmer(std::make_shared<kw::SystemLibraryLoader>(KW_STLINK_DIR));
    ASSERT_TRUE(programmer.open({})) << programmer.openFailure();
    ASSERT_TRUE(programmer.offers(kw::Operation::EndTransfer));
    std::array<std::uint8_t, kw::kSetFlashDataBlockSize> block{};
    block.fill(0x5A);
    for (int index = 0; index < 3; ++index)
        ASSERT_EQ(programmer.writeBlock(index * kw::kSetFlashDataBlockSize, block), 0);
    EXPECT_EQ(kw::test::threadCount(), before + 1);
    programmer.close();
    EXPECT_EQ(kw::test::threadCount(), before);

    {
        kw::emu::Options options;
        options.memoryFile = chipFile;
        const kw::emu::Probe probe(options);
        EXPECT_EQ(probe.peek(0x8000, 384), Bytes(384, 0x5A));
    }
    kw::test::expectProbeFree(chipFile);
}

// Ctrl+C during kwflash's write: the library, released after the block in flight, relocks the
// flash, resets the chip and leaves SWIM, and the chip holds exactly the blocks reported.
TEST_F(StlinkEndToEnd, KwflashInterruptedMidWriteRelocksAndResetsTheChip) {
    const std::string out = file("kwflash.out");
    const std::string err = file("kwflash.err");
    setenv("KW_EMU_TRACE", "1", 1);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        const std::string image = KW_EXAMPLES_DIR "/blink.hex";
        const std::string library = KW_STLINK_DIR "/TOLVANEX.dll";
        execl(KW_KWFLASH, KW_KWFLASH, "write", image.c_str(), "--library", library.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    unsetenv("KW_EMU_TRACE");
    ASSERT_GT(pid, 0);
    // Interrupt once a quarter is written; the bound only keeps a broken run from hanging.
    for (int polls = 0; polls < 60000; ++polls) {
        const Bytes progress = readFile(out);
        if (std::string(progress.begin(), progress.end()).find("Writing: 16/64") !=
            std::string::npos)
            break;
        usleep(1000);
    }
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);

    const Bytes errBytes = readFile(err);
    const std::string trace(errBytes.begin(), errBytes.end());
    const std::string said = "kwflash: interrupted after block ";
    const std::size_t at = trace.find(said);
    ASSERT_NE(at, std::string::npos) << trace;
    const int blocks = std::stoi(trace.substr(at + said.size()));
    EXPECT_GE(blocks, 16);
    EXPECT_LT(blocks, 64);
    EXPECT_NE(trace.find(" of 64; the chip holds a partial image\n", at), std::string::npos);

    // After the last block programmed: FLASH_IAPSR written (relock), SWIM_CSR and a SWIM reset
    // (the chip runs), SWIM left.
    const std::size_t lastBlock = trace.rfind("write 64 at ");
    ASSERT_NE(lastBlock, std::string::npos) << trace;
    const std::size_t relock = trace.find("write 1 at 00505F", lastBlock);
    const std::size_t reset = trace.find("SWIM reset", lastBlock);
    const std::size_t left = trace.find("exit SWIM mode", lastBlock);
    EXPECT_NE(relock, std::string::npos) << trace.substr(lastBlock);
    EXPECT_NE(reset, std::string::npos) << trace.substr(lastBlock);
    EXPECT_NE(left, std::string::npos) << trace.substr(lastBlock);
    EXPECT_LT(relock, reset);
    EXPECT_LT(reset, left);

    // The blocks sent, then the flash of a new chip (erased STM8 flash reads 0x00).
    Bytes expected = readFile(KW_EXAMPLES_DIR "/blink.bin");
    ASSERT_EQ(expected.size(), 8192u);
    std::fill(expected.begin() + std::ptrdiff_t{blocks} * 128, expected.end(), 0x00);
    kw::emu::Options options;
    options.memoryFile = chipFile;
    kw::emu::Probe probe(options);
    const Bytes chip = probe.peek(0x8000, 8192);
    const auto differ = std::mismatch(chip.begin(), chip.end(), expected.begin());
    EXPECT_EQ(differ.first, chip.end())
        << "first difference at 0x" << std::hex << 0x8000 + (differ.first - chip.begin());
}

// EEPROM that the library binary wrote, block by block and skipping the blocks that hold
// their bytes already, is what OpenOCD reads from the chip. The library paces itself.
TEST_F(StlinkEndToEnd, EepromTheLibraryWroteIsWhatOpenOcdReads) {
    Bytes eeprom(640);
    std::mt19937 random(16);
    for (auto& byte : eeprom)
        byte = static_cast<std::uint8_t>(random());
    {
        kw::emu::ChipMemory memory(chipFile);
        std::copy_n(eeprom.begin(), 128, memory.eeprom.begin()); // two blocks already right
        memory.saveEeprom(0, memory.eeprom.size());
    }
    {
        kw::SystemLibraryLoader loader(KW_STLINK_DIR);
        auto library = loader.load();
        ASSERT_TRUE(library) << loader.lastError();
        const auto setEepromData = library->lookup<kw::EepromBlockFunction>(kw::kSetEepromDataName);
        const auto needsPauses =
            library->lookup<kw::BlockPausesFunction>(kw::kNeedsBlockPausesName);
        const auto endTransfer = library->lookup<kw::EndTransferFunction>(kw::kEndTransferName);
        ASSERT_NE(setEepromData, nullptr);
        ASSERT_NE(needsPauses, nullptr);
        ASSERT_NE(endTransfer, nullptr);
        EXPECT_EQ(needsPauses(), 0);
        for (int offset = 0; offset < 640; offset += kw::kEepromBlockSize)
            ASSERT_EQ(setEepromData(offset, eeprom.data() + offset), 0) << offset;
        endTransfer();
    }
    kw::test::expectProbeFree(chipFile);

    const auto run =
        openocd({"dump_image " + file("eeprom.bin") + " 0x4000 640"}, path("openocd.log"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(readFile(file("eeprom.bin")), eeprom);
}

// Two protected chips alike: OpenOCD's stm8_reset_rop unlocks one, the library binary's
// RemoveReadoutProtection the other. Both leave the same flash, EEPROM and option bytes.
TEST_F(StlinkEndToEnd, UnlockLeavesTheChipAsOpenOcdsResetRopDoes) {
    const std::string theirs = file("theirs.bin");
    const std::string ours = file("ours.bin");
    for (const std::string& chip : {theirs, ours}) {
        kw::emu::ChipMemory memory(chip);
        for (std::size_t i = 0; i < memory.flash.size(); ++i)
            memory.flash[i] = static_cast<std::uint8_t>(i * 13 + 5);
        memory.eeprom.fill(0xA5);
        memory.options[0] = 0xAA;
        memory.options[3] = 0x01; // AFR0 and its complement: kept
        memory.options[4] = 0xFE;
        memory.saveFlash(0, memory.flash.size());
        memory.saveEeprom(0, memory.eeprom.size());
        memory.saveOptions();
    }

    setenv("KW_EMU_MEMORY", theirs.c_str(), 1);
    const auto run = openocd({"stm8_reset_rop"}, path("openocd.log"));
    ASSERT_EQ(run.status, 0) << run.output;

    setenv("KW_EMU_MEMORY", ours.c_str(), 1);
    {
        kw::SystemLibraryLoader loader(KW_STLINK_DIR);
        auto library = loader.load();
        ASSERT_TRUE(library) << loader.lastError();
        const auto unlock =
            library->lookup<kw::RemoveProtectionFunction>(kw::kRemoveReadoutProtectionName);
        const auto endTransfer = library->lookup<kw::EndTransferFunction>(kw::kEndTransferName);
        ASSERT_NE(unlock, nullptr);
        ASSERT_NE(endTransfer, nullptr);
        ASSERT_EQ(unlock(), 0);
        endTransfer();
    }
    kw::test::expectProbeFree(ours);

    const kw::emu::ChipMemory unlockedByThem(theirs);
    const kw::emu::ChipMemory unlockedByUs(ours);
    EXPECT_EQ(unlockedByThem.options[0], 0x00);
    EXPECT_EQ(unlockedByThem.options[3], 0x01);
    EXPECT_EQ(unlockedByUs.flash, unlockedByThem.flash);
    EXPECT_EQ(unlockedByUs.eeprom, unlockedByThem.eeprom);
    EXPECT_EQ(unlockedByUs.options, unlockedByThem.options);
    EXPECT_EQ(unlockedByUs.flash[0], 0x00);
}

} // namespace
