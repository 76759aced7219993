// OpenOCD 0.12, unchanged, against the emulated probe through the stand-in libusb: the
// independent check that the emulator behaves as a real client expects.
#include "SwimClient.h"
#include "emulator/Probe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

bool openocdOnPath() {
    const char* path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const fs::path candidate = fs::path(rest.substr(0, colon)) / "openocd";
        if (::access(candidate.c_str(), X_OK) == 0)
            return true;
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    }
    return false;
}

struct OpenocdRun {
    int exitCode = -1;
    std::string output;
};

class OpenocdTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(openocdOnPath())
            << "openocd is not on PATH: install Debian's openocd package (make test does)";
        folder_ = fs::temp_directory_path() / ("kw-openocd-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    fs::path file(const char* name) const { return folder_ / name; }

    // One OpenOCD run on the emulated probe, each command its own -c, bounded by a timeout.
    OpenocdRun openocd(const std::vector<std::string>& commands, const std::string& faults = "") {
        std::string line =
            "cd '" + folder_.string() +
            "' && LD_LIBRARY_PATH='" KW_EMU_USB_DIR "' KW_EMU_MEMORY='" +
            file("chip.bin").string() + "' KW_EMU_FAULTS='" + faults +
            "' timeout 60 openocd -f interface/stlink-dap.cfg -f target/stm8s103.cfg"
            // No servers: tests run side by side and would fight over ports.
            " -c 'gdb_port disabled' -c 'tcl_port disabled' -c 'telnet_port disabled'"
            " -c init -c 'reset halt'";
        for (const std::string& command : commands)
            line += " -c '" + command + "'";
        line += " -c shutdown 2>&1";
        OpenocdRun run;
        FILE* pipe = ::popen(line.c_str(), "r");
        if (pipe == nullptr)
            return run;
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            run.output.append(buffer, got);
        const int status = ::pclose(pipe);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

    kw::emu::Options chipOptions() const {
        kw::emu::Options options = SwimClient::instant();
        options.memoryFile = (folder_ / "chip.bin").string();
        return options;
    }
    kw::emu::Probe chip() const { return kw::emu::Probe(chipOptions()); }

    fs::path folder_;
};

std::vector<std::uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(OpenocdTest, LoadsVerifiesAndDumpsAnEightKilobyteImage) {
    std::vector<std::uint8_t> image(8192);
    std::mt19937 random(8192);
    for (auto& byte : image)
        byte = static_cast<std::uint8_t>(random());
    std::ofstream(file("image.bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));

    const OpenocdRun run =
        openocd({"load_image image.bin 0x8000 bin", "verify_image image.bin 0x8000 bin",
                 "dump_image dump.bin 0x8000 8192"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("target halted due to debug-request, pc: 0x00008000"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("verified 8192 bytes"), std::string::npos) << run.output;
    EXPECT_EQ(readFile(file("dump.bin")), image);
    EXPECT_EQ(chip().peek(0x8000, 8192), image) << "the chip outlives OpenOCD's process";
}

TEST_F(OpenocdTest, ReportsTheProtectedChipAsProtected) {
    // OpenOCD 0.12 has no read-out protection message of its own: it shows the ROP option byte,
    // reads 0x71 from flash and fails the load (error -305 at debug level, exit status 1).
    const OpenocdRun look = openocd({"mdb 0x4800 1", "dump_image dump.bin 0x8000 8192"}, "rop");
    ASSERT_EQ(look.exitCode, 0) << look.output;
    EXPECT_NE(look.output.find("0x00004800: aa"), std::string::npos) << look.output;
    EXPECT_EQ(readFile(file("dump.bin")), std::vector<std::uint8_t>(8192, 0x71));

    std::ofstream(file("image.bin"), std::ios::binary) << std::string(64, '\x5A');
    const OpenocdRun load = openocd({"load_image image.bin 0x8000 bin"}, "rop");
    EXPECT_EQ(load.exitCode, 1) << load.output;
    EXPECT_EQ(chip().peek(0x8000, 64), std::vector<std::uint8_t>(64, 0));
}

TEST_F(OpenocdTest, EepromAndOptionBytesItWritesReadBackThroughOurSwimClient) {
    std::vector<std::uint8_t> eeprom(640);
    std::mt19937 random(640);
    for (auto& byte : eeprom)
        byte = static_cast<std::uint8_t>(random());
    std::ofstream(file("eeprom.bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(eeprom.data()),
               static_cast<std::streamsize>(eeprom.size()));
    const OpenocdRun run = openocd({"load_image eeprom.bin 0x4000 bin", "mwb 0x4801 0x04",
                                    "mwb 0x4802 0xfb", "verify_image eeprom.bin 0x4000 bin"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("verified 640 bytes"), std::string::npos) << run.output;

    SwimClient c(chipOptions());
    c.connect();
    EXPECT_EQ(c.read(0x4000, 640), eeprom);
    EXPECT_EQ(c.read(0x4800, 3), (std::vector<std::uint8_t>{0x00, 0x04, 0xFB}));
    EXPECT_EQ(c.probe.statistics().optionByteError, false);
    c.unlockFlash();
    const std::uint8_t iapsr = c.programBlock(0x80C0, pattern(64, 1));
    EXPECT_EQ(iapsr & 0x05, 0x01) << "UBC 4 written by OpenOCD protects block 3";
}

TEST_F(OpenocdTest, ResetRopLeavesAnUnprotectedChipWithFlashAndEepromErased) {
    {
        kw::emu::Probe before = chip();
        before.poke(0x8000, std::vector<std::uint8_t>(64, 0x5A));
        before.poke(0x4000, std::vector<std::uint8_t>(640, 0xA5));
        before.poke(0x4803, {0x01, 0xFE}); // AFR0, kept
    }
    ASSERT_EQ(chip().peek(0x4000, 1), std::vector<std::uint8_t>{0xA5});
    const OpenocdRun run = openocd({"stm8_reset_rop", "mdb 0x4800 5"}, "rop");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("0x00004800: 00 00 ff 01 fe"), std::string::npos) << run.output;

    SwimClient c(chipOptions());
    c.connect();
    EXPECT_EQ(c.read(0x8000, 4096), std::vector<std::uint8_t>(4096, 0x00));
    EXPECT_EQ(c.read(0x9000, 4096), std::vector<std::uint8_t>(4096, 0x00));
    EXPECT_EQ(c.read(0x4000, 640), std::vector<std::uint8_t>(640, 0x00));
    EXPECT_EQ(c.read(0x4800, 11), (std::vector<std::uint8_t>{0x00, 0x00, 0xFF, 0x01, 0xFE, 0x00,
                                                             0xFF, 0x00, 0xFF, 0x00, 0xFF}));
}

} // namespace
