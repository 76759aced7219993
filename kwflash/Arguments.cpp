#include "kwflash/Arguments.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>
#include <vector>

#include "image/IntConv.h"

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
    if (word == "crc")
        return Command::Crc;
    if (word == "options")
        return Command::OptionBytes;
    if (word == "unlock")
        return Command::Unlock;
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

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// The --serial-* options, checked together once the chip is known.
struct SerialWords {
    std::string at, start, step, format, state;
    std::string given; // the first --serial-* option seen, for a message

    bool read(OptionReader& reader, std::string_view argument) {
        const std::pair<const char*, std::string*> names[] = {{"--serial-at", &at},
                                                              {"--serial-start", &start},
                                                              {"--serial-step", &step},
                                                              {"--serial-format", &format},
                                                              {"--serial-state", &state}};
        for (const auto& [name, out] : names) {
            if (reader.value(argument, name, *out)) {
                if (out->empty())
                    throw UsageError(std::string(name) + " needs a value");
                if (given.empty())
                    given = name;
                return true;
            }
        }
        return false;
    }

    std::optional<Options::Serial> options(const Chip& chip) const {
        if (given.empty())
            return std::nullopt;
        if (at.empty() || start.empty())
            throw UsageError("serial numbers need --serial-at ADDR and --serial-start N");
        Options::Serial serial;
        const auto address = tryStrToInt(at);
        if (!address)
            throw UsageError("--serial-at: '" + at + "' is not an address");
        serial.address = static_cast<std::uint32_t>(*address);
        const auto first = parseSerialNumber(start);
        if (!first)
            throw UsageError("--serial-start: '" + start + "' is not a number");
        serial.start = *first;
        if (!step.empty()) {
            const auto k = parseSerialNumber(step);
            if (!k || *k == 0)
                throw UsageError("--serial-step: '" + step + "' is not a number above 0");
            serial.step = *k;
        }
        if (!format.empty()) {
            const auto parsed = parseSerialFormat(format);
            if (!parsed)
                throw UsageError("unknown --serial-format '" + format +
                                 "': use le32, be32, bcd or ascii:WIDTH (1 to 19 digits)");
            serial.format = *parsed;
        }
        if (serial.start > serial.format.largest())
            throw UsageError("--serial-start " + start + " does not fit " + serial.format.name() +
                             " (largest " + std::to_string(serial.format.largest()) + ")");
        serial.state = state;

        // The number must lie whole in memory a write can change.
        const std::uint64_t first_ = serial.address;
        const std::uint64_t last = first_ + static_cast<std::uint64_t>(serial.format.width) - 1;
        const auto inside = [&](std::uint32_t base, std::uint32_t end) {
            return first_ >= base && last < end;
        };
        const auto touches = [&](std::uint32_t base, std::uint32_t end) {
            return first_ < end && last >= base;
        };
        if (inside(chip.flashBase, chip.flashEnd()) || inside(chip.eepromBase, chip.eepromEnd()))
            return serial;
        const std::string bytes = std::to_string(serial.format.width) + " bytes of " +
                                  serial.format.name() + " at " + hex(serial.address);
        if (touches(chip.optionBase, chip.optionEnd()))
            throw UsageError("--serial-at: " + bytes + " would land in the option bytes (" +
                             hex(chip.optionBase) + "-" + hex(chip.optionEnd() - 1) + ")");
        throw UsageError("--serial-at: " + bytes + " do not lie within the " +
                         std::string(chip.name) + "'s flash (" + hex(chip.flashBase) + "-" +
                         hex(chip.flashEnd() - 1) + ") or EEPROM (" + hex(chip.eepromBase) + "-" +
                         hex(chip.eepromEnd() - 1) + ")");
    }
};
Area areaFrom(std::string_view name) {
    if (name == "flash")
        return Area::Flash;
    if (name == "eeprom")
        return Area::Eeprom;
    if (name == "option")
        return Area::Option;
    if (name == "all")
        return Area::All;
    throw UsageError("unknown area '" + std::string(name) + "': use flash, eeprom, option or all");
}

// `options set NAME=VALUE ...`: every name and value checked before the chip is touched.
std::vector<std::pair<const OptionField*, unsigned>>
optionSettingsFrom(const std::vector<std::string>& words) {
    if (words.size() == 1)
        return {};
    if (words[1] != "set")
        throw UsageError("unexpected argument '" + words[1] + "': options takes set NAME=VALUE");
    if (words.size() == 2)
        throw UsageError("options set needs NAME=VALUE, such as UBC=4 or IWDG_HW=on");
    std::vector<std::pair<const OptionField*, unsigned>> settings;
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string& word = words[i];
        const auto equals = word.find('=');
        const OptionField* field =
            equals == std::string::npos ? nullptr : optionFieldNamed(word.substr(0, equals));
        if (field == nullptr) {
            std::string names;
            for (const OptionField& known : kOptionFields)
                names += (names.empty() ? "" : ", ") + std::string(known.name);
            throw UsageError("'" + word + "' is not NAME=VALUE with one of " + names);
        }
        std::string why;
        const auto value = parseOptionValue(*field, word.substr(equals + 1), why);
        if (!value)
            throw UsageError("'" + word + "': " + std::string(field->name) + " takes " + why);
        settings.emplace_back(field, *value);
    }
    return settings;
}

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
    bool areaGiven = false;
    bool optionsEnded = false;
    SerialWords serial;
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
        } else if (serial.read(reader, argument)) {
        } else if (reader.value(argument, "--log", value)) {
            if (value.empty())
                throw UsageError("--log needs a file");
            options.log = value;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--loop") {
            options.loop = true;
        } else if (reader.value(argument, "--eeprom", value)) {
            if (value.empty())
                throw UsageError("--eeprom needs a file");
            const auto format = formatOf(value);
            if (!format)
                throw UsageError("cannot tell the format of '" + value +
                                 "' from its name: use .hex or .ihx (Intel HEX) or .bin (raw)");
            options.eepromFile = value;
            options.eepromFormat = *format;
        } else if (reader.value(argument, "--area", value)) {
            options.area = areaFrom(value);
            areaGiven = true;
        } else if (argument == "--yes") {
            options.yes = true;
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
    if (options.command != Command::Write) {
        const char* production = options.loop           ? "--loop"
                                 : options.log          ? "--log"
                                 : options.json         ? "--json"
                                 : serial.given.empty() ? nullptr
                                                        : serial.given.c_str();
        if (production != nullptr)
            throw UsageError(std::string(production) + " applies to write only");
    }
    if (options.command == Command::List && !options.probe.empty())
        throw UsageError("--probe does not apply to list");
    if (options.eepromFile && options.command != Command::Write &&
        options.command != Command::Verify && options.command != Command::Crc)
        throw UsageError("--eeprom applies to write, verify and crc only");
    if (areaGiven && options.command != Command::Read)
        throw UsageError("--area applies to read only");
    if (options.yes && options.command != Command::Unlock)
        throw UsageError("--yes applies to unlock only");
    if (options.command == Command::OptionBytes || options.command == Command::Unlock) {
        if (noVerify)
            throw UsageError("--no-verify applies to write only");
        if (options.force)
            throw UsageError("--force applies to read only");
        if (options.command == Command::Unlock && words.size() > 1)
            throw UsageError("unexpected argument '" + words[1] + "'");
        if (options.command == Command::OptionBytes)
            options.optionSettings = optionSettingsFrom(words);
        return options;
    }
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

    if (options.command == Command::Read && options.area == Area::All &&
        options.format == ImageFormat::Raw)
        throw UsageError("a raw file holds one area: read --area all into a .hex or .ihx file");
    if (noVerify && options.command != Command::Write)
        throw UsageError("--no-verify applies to write only");
    options.verify = !noVerify;
    if (options.force && options.command != Command::Read)
        throw UsageError("--force applies to read only");
    if (options.command == Command::Crc) {
        if (!options.probe.empty() || options.all || options.library || options.swim != "auto")
            throw UsageError("crc reads the image only: it takes no programmer options");
    }
    options.serial = serial.options(*options.chip);
    return options;
}

const char* usageLine() {
    return "usage: kwflash write|verify IMAGE [--eeprom FILE] [--chip CHIP] "
           "[--probe SERIAL|PORT-PATH] [--swim auto|low|high] [--library PATH] [--no-verify] "
           "[--quiet] [--help]\n"
           "       kwflash read OUTPUT [--area flash|eeprom|option|all] [--force] [options]\n"
           "       kwflash write IMAGE --all [options]\n"
           "       kwflash write IMAGE --loop [--serial-at ADDR --serial-start N "
           "[--serial-step K] [--serial-format le32|be32|bcd|ascii:WIDTH] "
           "[--serial-state FILE]] [--log FILE] [--json] [options]\n"
           "       kwflash crc IMAGE [--eeprom FILE] [--chip CHIP]\n"
           "       kwflash options [set NAME=VALUE ...] [options]\n"
           "       kwflash unlock [--yes] [options]\n"
           "       kwflash probe [--probe SERIAL|PORT-PATH] [--swim auto|low|high] "
           "[--library PATH]\n"
           "       kwflash list [--library PATH]\n"
           "       kwflash --version";
}

const char* helpText() {
    return R"(kwflash writes, reads and verifies an STM8S (flash, EEPROM, option bytes) through a
KALIWIRE programmer, using the programmer library TOLVANEX.dll.

usage: kwflash write IMAGE [--eeprom FILE] [--no-verify] [--all] [production options]
                     [options]
       kwflash read OUTPUT [--area flash|eeprom|option|all] [--force] [options]
       kwflash verify IMAGE [--eeprom FILE] [options]
       kwflash options [set NAME=VALUE ...] [options]
       kwflash unlock [--yes] [options]
       kwflash probe [options]
       kwflash list [--library PATH]
       kwflash crc IMAGE [--eeprom FILE] [--chip CHIP]

  write    program every area IMAGE holds (flash, EEPROM, option bytes), then read back
           and compare what was written
  read     read the chip's flash (or --area) into OUTPUT, replacing an existing file
  verify   compare the bytes IMAGE defines, in every area, with the chip
  options  print the option bytes decoded; options set NAME=VALUE ... changes them
           (ROP, UBC, AFR, AFR0..AFR7, HSITRIM, LSI_EN, IWDG_HW, WWDG_HW, WWDG_HALT,
           EXTCLK, CKAWUSEL, PRSC, HSECNT; decimal, 0x-hex, on/off for one bit and ROP)
           and writes them back with their complements
  unlock   remove read-out protection, which erases flash and EEPROM: asks first on a
           terminal, --yes in scripts
  probe    list the programmers on the USB bus, connect to the chip of the first usable one
           and report the link, its protection and whether its flash reads back: the first
           command to run with new hardware, and what a bug report needs
  crc      print the CRC-32 (as zlib computes it) of IMAGE's flash image, which write
           prints too before it writes: the chip's whole flash, 0xFF where the file has
           no data; no programmer is used
  list     one line per programmer on the USB bus, for people and scripts alike:
           PATH serial=S product=0483:PID generation=V2|V2-1|V3 firmware=F swim=yes|no
           usable=yes|no-permission|busy|no-swim|unresponsive (a serial's spaces and
           other odd bytes as %XX, "-" where unknown)

Files are Intel HEX (.hex, .ihx) or raw binary (.bin), told by the extension. An Intel HEX
file whose flash records all lie at 0x8000 or above is read from 0x8000, as STM8 toolchains
write it, with its records at 0x4000-0x47FF as EEPROM and 0x4800-0x48FF as option bytes; in
any other file a record's address is its offset in the flash. read writes each area's records
at its chip address. Nothing is programmed from an Intel HEX file with a malformed record
(start character, length, checksum, unknown type), an address record that moves data past
0xFFFF, a record after the end-of-file record or a byte given two values, nor from an image
without data or one that does not fit the chip's flash, EEPROM or option bytes. write sends
only the 128-byte flash blocks (64-byte EEPROM blocks) that hold bytes of the file, the rest
of each block 0x00, the chip's erased state; other blocks stay as they are. A file's ROP 0xAA
is written last, after the check: the chip is then protected.

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
  --eeprom FILE
              write, verify: the EEPROM from FILE, raw (.bin, from 0x4000) or Intel HEX
              with EEPROM records only
  --area flash|eeprom|option|all
              read only: what to read (default flash); all needs a .hex or .ihx OUTPUT
  --yes       unlock only: do not ask
  --no-verify write only: do not read the chip back
production options, write only:
  --loop      wait for a chip, program and verify it, print PASS or FAIL (with the
              terminal's bell), wait until it is taken off, and again; Ctrl+C ends the run
              and prints the totals. With --all every programmer loops on its own
  --serial-at ADDR --serial-start N
              write a serial number into each board at ADDR (in the chip's flash), N first
  --serial-step K   add K for the next board (default 1)
  --serial-format le32|be32|bcd|ascii:WIDTH
              4 bytes little-endian (default), big-endian, 8 BCD digits, or WIDTH ASCII
              digits
  --serial-state FILE
              where the next number is kept (default: one file per image in
              ~/.local/state/kaliwire/serials/); a failed board's number is given again,
              one a crash may have left on a board is skipped, never given twice
  --log FILE  append one JSON object per board (time, probe, chip, CRC-32, serial,
              result, codes, library text, seconds), one line each, synced
  --json      print those objects on standard output instead of the progress
  --force     read only: replace OUTPUT even when it is read-only
  -q, --quiet print errors only
  -h, --help  print this help
  --version   print kwflash's version

Progress goes to standard output: a bar on a terminal, plain lines otherwise. Errors go to
standard error as one line each.

exit codes:
  0   done
  1   no programmer: the library is missing, cannot be loaded or lacks an export
      ("this programmer cannot write EEPROM"), or it found no programmer (code 1):
      no probe, no permission, no SWIM
  2   the image file cannot be read, converted or written, is empty, or does not fit the
      chip (flash, EEPROM, option bytes)
  3   verify: the chip differs from the image
  4   the programmer failed on a block (its code and the block are printed; a protected
      chip is named as such); probe: the chip failed to answer, is protected or does not
      read back
  64  wrong usage; unlock without a terminal and without --yes
  70  an internal fault of kwflash, or a programmer library that stopped: crashed, ended
      its process or did not answer in time (it runs in the helper kaliwire-programmer)
  130 interrupted by Ctrl+C (143: SIGTERM) after the block in flight; a second one ends at once
)";
}

} // namespace kw::cli
