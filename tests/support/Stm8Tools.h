#pragma once

// The independent tools that tests check the tool's Intel HEX handling against: SDCC, a real
// STM8 compiler, and srec_cat (srecord). `make test` installs both.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kw::test {

// The full path of `program` on PATH; throws naming the package to install when missing.
inline std::filesystem::path toolOnPath(const std::string& program, const std::string& package) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        auto candidate = std::filesystem::path(folder.empty() ? "." : folder) / program;
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec))
            return candidate;
    }
    throw std::runtime_error(program + " is not on PATH: install the Debian package " + package +
                             " (make test installs it)");
}

inline std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs a shell command with its output in `log`; throws with that output when it fails.
inline void runCommand(const std::string& command, const std::filesystem::path& log) {
    const std::string line = command + " >" + shellQuoted(log.string()) + " 2>&1";
    if (std::system(line.c_str()) != 0) {
        std::ifstream in(log);
        const std::string output((std::istreambuf_iterator<char>(in)), {});
        throw std::runtime_error("command failed: " + command + "\n" + output);
    }
}

inline std::vector<std::uint8_t> fileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A small STM8 program: a vector table, code, a constant table and initialised data.
inline constexpr const char* kStm8Program = R"(
#define PD_ODR (*(volatile unsigned char *)0x500F)
#define PD_DDR (*(volatile unsigned char *)0x5011)
#define PD_CR1 (*(volatile unsigned char *)0x5012)
static const char banner[] = "KALIWIRE";
unsigned char counter = 3;
void main(void) {
    PD_DDR |= 0x08;
    PD_CR1 |= 0x08;
    for (;;) {
        PD_ODR ^= 0x08;
        for (unsigned int i = 0; i < 1000; ++i)
            counter += banner[i & 7];
    }
}
)";

// A program with calibration data in EEPROM: SDCC writes its records at 0x4000, beside the
// flash at 0x8000.
inline constexpr const char* kStm8EepromProgram = R"(
#include <stdint.h>
const uint8_t __at(0x4000) calib[4] = {0x12, 0x34, 0x56, 0x78};
volatile uint8_t level;
void main(void) {
    for (;;)
        level = calib[level & 3];
}
)";

// Compiles `program` with SDCC in `dir` as `name`.c; returns the Intel HEX file it wrote.
inline std::filesystem::path compileStm8Program(const std::filesystem::path& dir,
                                                const char* program = kStm8Program,
                                                const std::string& name = "blink") {
    const auto sdcc = toolOnPath("sdcc", "sdcc");
    std::ofstream(dir / (name + ".c")) << program;
    runCommand("cd " + shellQuoted(dir.string()) + " && " + shellQuoted(sdcc.string()) +
                   " -mstm8 --out-fmt-ihx " + shellQuoted(name + ".c"),
               dir / "sdcc.log");
    return dir / (name + ".ihx");
}

// What srec_cat makes of an Intel HEX file: the bytes from `address` on, `length` of them,
// with the gaps filled with `fill`.
inline std::vector<std::uint8_t> srecBinary(const std::filesystem::path& hex, std::uint32_t address,
                                            std::uint32_t length, unsigned fill = 0xFF) {
    const auto srecCat = toolOnPath("srec_cat", "srecord");
    const auto out = hex.parent_path() / (hex.filename().string() + ".srec.bin");
    const std::string offset = address == 0 ? "" : " -offset -" + std::to_string(address);
    const std::string range = " 0 " + std::to_string(length);
    runCommand(shellQuoted(srecCat.string()) + " -disable-sequence-warnings " +
                   shellQuoted(hex.string()) + " -intel" + offset + " -crop" + range + " -fill " +
                   std::to_string(fill) + range + " -o " + shellQuoted(out.string()) + " -binary",
               hex.parent_path() / "srec_cat.log");
    return fileBytes(out);
}

} // namespace kw::test
