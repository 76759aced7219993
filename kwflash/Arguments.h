#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kwflash/SerialNumbers.h"
#include "target/Chip.h"
#include "target/OptionBytes.h"

namespace kw::cli {

// Chips prints the chips' markings one a line, for the shell completion.
enum class Command {
    Write,
    Read,
    Verify,
    Probe,
    List,
    Help,
    OptionBytes,
    Unlock,
    Crc,
    Version,
    Chips
};

// What `read` reads: one area of the chip, or all three.
enum class Area { Flash, Eeprom, Option, All };

// How an image file is read or written, told by its extension.
enum class ImageFormat { IntelHex, Raw };

struct Options {
    Command command = Command::Help;
    std::filesystem::path file; // IMAGE for write and verify, OUTPUT for read
    ImageFormat format = ImageFormat::IntelHex;
    const Chip* chip = &kLargestChip;
    std::optional<std::filesystem::path> library; // exactly this file instead of the search
    bool verify = true;
    bool quiet = false;
    bool force = false;        // read: replace an OUTPUT that is read-only
    std::string swim = "auto"; // the SWIM speed asked of the library: auto, low or high
    std::string probe;         // a serial or port path; empty: the library's first usable probe
    bool all = false;          // write: every usable probe on the bus

    // Production writes: board after board, each with its own serial number, each logged.
    bool loop = false; // wait for a chip, program it, wait until it is gone, again
    struct Serial {
        std::uint32_t address = 0; // on the chip's bus: in its flash or its EEPROM
        std::uint64_t start = 0;
        std::uint64_t step = 1;
        SerialFormat format;
        std::filesystem::path state; // empty: defaultSerialState(file)
    };
    std::optional<Serial> serial;
    std::optional<std::filesystem::path> log; // one JSON line per board appended
    bool json = false;                        // those lines on stdout instead of progress
    // Any of the above: the write goes board by board through the production runner.
    bool production() const { return loop || serial || log || json; }
    // write, verify: the EEPROM from a file of its own, raw or Intel HEX.
    std::optional<std::filesystem::path> eepromFile;
    ImageFormat eepromFormat = ImageFormat::Raw;
    Area area = Area::Flash; // read
    // options set NAME=VALUE ...: each field with its checked value, in the given order.
    std::vector<std::pair<const OptionField*, unsigned>> optionSettings;
    bool yes = false; // unlock: no question asked
};

// A command line that asks for nothing kwflash can do; what() says what is wrong with it.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The format of a file named `file`: .hex and .ihx are Intel HEX, .bin raw, in any letter case.
std::optional<ImageFormat> formatOf(const std::filesystem::path& file);

// `arguments` without the program name. Throws UsageError.
Options parseArguments(std::span<const char* const> arguments);

// One line, for a wrong call.
const char* usageLine();
// The whole help, with the exit codes.
const char* helpText();

} // namespace kw::cli
