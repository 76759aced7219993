#include "kwflash/Arguments.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

namespace kw::cli {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string chipList() {
    std::string known;
    for (const Chip* chip : kChips)
        known += (known.empty() ? "" : ", ") + std::string(chip->name);
    return known;
}

const Chip& chipFrom(std::string_view name) {
    if (const Chip* chip = chipSpelled(name))
        return *chip;
    throw UsageError("unknown chip '" + std::string(name) + "': use one of " + chipList());
}

Command commandFrom(std::string_view word) {
    if (word == "write")
        return Command::Write;
    if (word == "read")
        return Command::Read;
    if (word == "verify")
        return Command::Verify;
    if (word == "probe")
        return Command::Probe;
    if (word == "list")
        return Command::List;
    if (word == "help")
        return Command::Help;
    if (word == "version")
        return Command::Version;
    if (word == "chips")
        return Command::Chips;
    throw UsageError("unknown command '" + std::string(word) + "'");
}

// Reads the value of an option given as "--name value" or "--name=value".
class OptionReader {
public:
    explicit OptionReader(std::span<const char* const> arguments) : arguments_(arguments) {}

    bool done() const { return next_ >= arguments_.size(); }
    std::string_view take() { return arguments_[next_++]; }

    // When `argument` is the option `name`, stores its value and returns true.
    bool value(std::string_view argument, std::string_view name, std::string& out) {
        if (argument == name) {
            if (done())
                throw UsageError(std::string(name) + " needs a value");
            out = take();
            return true;
        }
        if (argument.size() > name.size() && argument.starts_with(name) &&
            argument[name.size()] == '=') {
            out = argument.substr(name.size() + 1);
            return true;
        }
        return false;
    }

private:
    std::span<const char* const> arguments_;
    std::size_t next_ = 0;
};

} // namespace

std::optional<ImageFormat> formatOf(const std::filesystem::path& file) {
    const std::string extension = lower(file.extension().string());
    if (extension == ".hex" || extension == ".ihx")
        return ImageFormat::IntelHex;
    if (extension == ".bin")
        return ImageFormat::Raw;
    return std::nullopt;
}

Options parseArguments(std::span<const char* const> arguments) {
    for (std::string_view argument : arguments) {
        if (argument == "--")
            break;
        if (argument == "-h" || argument == "--help")
            return Options{};
        if (argument == "--version") {
            Options version;
            version.command = Command::Version;
            return version;
        }
    }

    Options options;
    std::vector<std::string> words;
    bool noVerify = false;
    bool optionsEnded = false;
    OptionReader reader(arguments);
    while (!reader.done()) {
        const std::string_view argument = reader.take();
        std::string value;
        if (optionsEnded || argument.empty() || argument == "-" || argument[0] != '-') {
            words.emplace_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (reader.value(argument, "--chip", value)) {
            options.chip = &chipFrom(value);
        } else if (reader.value(argument, "--library", value)) {
            if (value.empty())
                throw UsageError("--library needs a file");
            options.library = value;
        } else if (reader.value(argument, "--swim", value)) {
            if (value != "auto" && value != "low" && value != "high")
                throw UsageError("unknown SWIM speed '" + value + "': use auto, low or high");
            options.swim = value;
        } else if (reader.value(argument, "--probe", value)) {
            if (value.empty())
                throw UsageError("--probe needs a serial or a port path such as 1-2");
            options.probe = value;
        } else if (argument == "--all") {
            options.all = true;
        } else if (argument == "--no-verify") {
            noVerify = true;
        } else if (argument == "-q" || argument == "--quiet") {
            options.quiet = true;
        } else if (argument == "--force") {
            options.force = true;
        } else {
            throw UsageError("unknown option '" + std::string(argument) + "'");
        }
    }

    if (words.empty())
        throw UsageError("no command given");
    options.command = commandFrom(words[0]);
    if (options.command == Command::Help || options.command == Command::Version ||
        options.command == Command::Chips) {
        if (words.size() > 1)
            throw UsageError("unexpected argument '" + words[1] + "'");
        return options;
    }
    if (options.all && options.command != Command::Write)
        throw UsageError("--all applies to write only");
    if (options.all && !options.probe.empty())
        throw UsageError("--all and --probe exclude each other");
    if (options.command == Command::List && !options.probe.empty())
        throw UsageError("--probe does not apply to list");
    if (options.command == Command::Probe || options.command == Command::List) {
        if (words.size() > 1)
            throw UsageError("unexpected argument '" + words[1] + "'");
        if (noVerify)
            throw UsageError("--no-verify applies to write only");
        if (options.force)
            throw UsageError("--force applies to read only");
        return options;
    }
    const char* fileRole = options.command == Command::Read ? "an OUTPUT" : "an IMAGE";
    if (words.size() < 2 || words[1].empty())
        throw UsageError(words[0] + " needs " + fileRole + " file");
    if (words.size() > 2)
        throw UsageError("unexpected argument '" + words[2] + "'");
    options.file = words[1];

    const auto format = formatOf(options.file);
    if (!format)
        throw UsageError("cannot tell the format of '" + words[1] +
                         "' from its name: use .hex or .ihx (Intel HEX) or .bin (raw)");
    options.format = *format;

    if (noVerify && options.command != Command::Write)
        throw UsageError("--no-verify applies to write only");
    options.verify = !noVerify;
    if (options.force && options.command != Command::Read)
        throw UsageError("--force applies to read only");
    return options;
}

const char* usageLine() {
    return "usage: kwflash write|read|verify FILE [--chip CHIP] "
           "[--probe SERIAL|PORT-PATH] [--swim auto|low|high] [--library PATH] [--no-verify] "
           "[--force] [--quiet] [--help]\n"
           "       kwflash write IMAGE --all [options]\n"
           "       kwflash probe [--probe SERIAL|PORT-PATH] [--swim auto|low|high] "
           "[--library PATH]\n"
           "       kwflash list [--library PATH]\n"
           "       kwflash --version";
}

const char* helpText() {
    return R"(kwflash writes, reads and verifies the flash of an STM8S through a KALIWIRE
programmer, using the programmer library TOLVANEX.dll.

usage: kwflash write IMAGE [--no-verify] [--all] [options]
       kwflash read OUTPUT [--force] [options]
       kwflash verify IMAGE [options]
       kwflash probe [options]
       kwflash list [--library PATH]

  write    program IMAGE into the chip, then read the chip back and compare
  read     read the chip's flash into OUTPUT, replacing an existing file
  verify   read the chip's flash and compare it with IMAGE
  probe    list the programmers on the USB bus, connect to the chip of the first usable one
           and report the link, its protection and whether its flash reads back: the first
           command to run with new hardware, and what a bug report needs
  list     one line per programmer on the USB bus, for people and scripts alike:
           PATH serial=S product=0483:PID generation=V2|V2-1|V3 firmware=F swim=yes|no
           usable=yes|no-permission|busy|no-swim|unresponsive (a serial's spaces and
           other odd bytes as %XX, "-" where unknown)

Files are Intel HEX (.hex, .ihx) or raw binary (.bin), told by the extension. An Intel HEX
file whose data records all lie at 0x8000 or above is read from 0x8000, as STM8 toolchains
write it; in any other file a record's address is its offset in the image. read writes Intel
HEX records at 0x8000. Nothing is programmed from an Intel HEX file with a malformed record
(start character, length, checksum, unknown type), an address record that moves data past
0xFFFF, a record after the end-of-file record or a byte given two values, nor from an image
without data or one that does not fit the chip. The rest of the flash is written erased (0xFF).

options:
  --chip CHIP the chip as it is marked, in any letter case (default STM8S103F3):
              STM8S103F2 (4 KB flash, 640 bytes EEPROM), STM8S103F3 (8 KB, 640 bytes),
              STM8S003F3 (8 KB, 128 bytes), STM8S903F3 and STM8S903K3 (8 KB, 640 bytes),
              STM8S001J3 (8 KB, 128 bytes); the window's STM8SF103F2 and STM8SF103F3 too
  --probe SERIAL|PORT-PATH
              the programmer to use, by its serial or its USB port path as Linux writes
              it, bus then ports (1-2, 3-2.4; see list); clones often share a serial,
              their path tells them apart. Default: the first usable one
  --all       write only: program every usable programmer on the bus at once, one
              result line each; the exit code is the highest of them
  --swim auto|low|high
              the SWIM speed: auto (default) high speed when the chip offers it, low
              speed after repeated errors; low for long wires; high never falls back
  --library PATH
              load exactly this programmer library; by default TOLVANEX.dll beside
              kwflash, else the system's library search
  --no-verify write only: do not read the chip back
  --force     read only: replace OUTPUT even when it is read-only
  -q, --quiet print errors only
  -h, --help  print this help
  --version   print kwflash's version

Progress goes to standard output: a bar on a terminal, plain lines otherwise. Errors go to
standard error as one line each.

exit codes:
  0   done
  1   no programmer: the library is missing, cannot be loaded or lacks an export,
      or it found no programmer (code 1): no probe, no permission, no SWIM
  2   the image file cannot be read, converted or written, is empty, or does not fit the chip
  3   verify: the chip's flash differs from the image
  4   the programmer failed on a block (its code and the block are printed); probe: the
      chip failed to answer, is protected or does not read back
  64  wrong usage
  70  an internal fault of kwflash, or a programmer library that stopped: crashed, ended
      its process or did not answer in time (it runs in the helper kaliwire-programmer)
  130 interrupted by Ctrl+C (143: SIGTERM) after the block in flight; a second one ends at once
)";
}

} // namespace kw::cli
