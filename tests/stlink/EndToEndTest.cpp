// The real window with the real ST-LINK library binary, over the emulated probe: the process
// runs with the emulator's libusb on LD_LIBRARY_PATH, so only the USB below the library is
// emulated. OpenOCD, run against the same emulated chip, checks what the library did.
#include <QByteArray>
#include <QFile>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "emulator/Probe.h"
#include "programmer/Pause.h"
#include "programmer/ProgrammerLibrary.h"
#include "support/WindowFixture.h"

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

    kw::emu::Options options;
    options.memoryFile = chipFile;
    kw::emu::Probe probe(options);
    EXPECT_EQ(probe.peek(0x8000, 384), Bytes(image.begin(), image.begin() + 384));
    ASSERT_EQ(probe.open(), 0);
    ASSERT_EQ(probe.claimInterface(0), 0);
    std::uint8_t frame[16] = {0xF5};
    std::uint8_t mode[2] = {0xFF, 0xFF};
    int moved = 0;
    ASSERT_EQ(probe.bulkTransfer(0x02, frame, 16, &moved, 100), 0);
    ASSERT_EQ(probe.bulkTransfer(0x81, mode, 2, &moved, 100), 0);
    EXPECT_NE(mode[0], 3) << "the probe was left in SWIM mode";
    probe.close();
}

} // namespace
