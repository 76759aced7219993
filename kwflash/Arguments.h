#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "target/Chip.h"

namespace kw::cli {

// Chips prints the chips' markings one a line, for the shell completion.
enum class Command { Write, Read, Verify, Probe, List, Help, Version, Chips };

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
