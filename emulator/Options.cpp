#include "emulator/Probe.h"

#include "target/Chip.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace kw::emu {

namespace {

std::invalid_argument badValue(const char* variable, std::string_view value, const char* expected) {
    return std::invalid_argument(std::string(variable) + "=" + std::string(value) + ": expected " +
                                 expected);
}

long parseInteger(const char* variable, std::string_view text, long low, long high) {
    const std::string copy(text);
    char* end = nullptr;
    const long value = std::strtol(copy.c_str(), &end, 0);
    if (copy.empty() || *end != '\0' || value < low || value > high)
        throw badValue(variable, text, "a number in range");
    return value;
}

std::string defaultMemoryFile() {
    const char* folder = std::getenv("TMPDIR");
    std::string path = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    char name[64];
    std::snprintf(name, sizeof name, "/kaliwire-emulated-stm8-%u.bin",
                  static_cast<unsigned>(::getuid()));
    return path + name;
}

// "name" or "name@N" in a comma-separated list. Chip faults travel with a board; the others
// belong to the probe.
void applyFault(Faults& faults, std::string_view token, const char* variable, bool chipOnly) {
    const auto at = token.find('@');
    const std::string_view name = token.substr(0, at);
    const bool counted = at != std::string_view::npos;
    const auto count = [&] {
        return static_cast<int>(parseInteger(variable, token.substr(at + 1), 0, 1'000'000));
    };
    if (!counted && name == "no-target")
        faults.targetAbsent = true;
    else if (counted && name == "target-lost")
        faults.targetLostAtBlock = count();
    else if (!counted && name == "no-hsit")
        faults.hsitNeverSet = true;
    else if (!counted && name == "rop")
        faults.readoutProtected = true;
    else if (counted && name == "ubc")
        faults.ubcBlocks = std::min(count(), 255);
    else if (!counted && name == "bad-state-per-block")
        faults.badStatePerBlock = true;
    else if (counted && name == "bad-state")
        faults.badStateAtCommand = count();
    else if (!counted && name == "flaky-high-speed")
        faults.flakyHighSpeed = true;
    else if (name == "none" && !counted)
        return;
    else if (chipOnly)
        throw badValue(variable, token,
                       "a fault of the chip: no-target, target-lost@N, no-hsit, rop, ubc@N, "
                       "bad-state-per-block, bad-state@N or flaky-high-speed");
    else if (!counted && name == "no-probe")
        faults.noProbe = true;
    else if (!counted && name == "access")
        faults.accessDenied = true;
    else if (!counted && name == "busy")
        faults.claimBusy = true;
    else if (counted && name == "timeout")
        faults.usbTimeoutFromTransfer = count();
    else if (counted && name == "short")
        faults.shortTransferAt = count();
    else if (counted && name == "unplug")
        faults.unplugAtBlock = count();
    else if (!counted && name == "no-swim")
        faults.noSwim = true;
    else if (!counted && name == "stale-swim")
        faults.staleSwimMode = true;
    else if (!counted && name == "version-fail-once")
        faults.versionFailOnce = true;
    else
        throw badValue(variable, token,
                       "no-probe, access, busy, timeout@N, short@N, unplug@N, no-target, "
                       "target-lost@N, no-hsit, rop, ubc@N, no-swim, stale-swim, "
                       "bad-state-per-block, bad-state@N, version-fail-once, flaky-high-speed "
                       "or none");
}

// A chip's marking (or the window's spelling), in any letter case.
ChipVariant chipVariant(const char* variable, std::string_view text) {
    const Chip* named = chipSpelled(text);
    const auto variant = named != nullptr ? variantOf(*named) : std::nullopt;
    if (!variant) {
        std::string known;
        for (const Chip* chip : kChips)
            known += (known.empty() ? "" : ", ") + std::string(chip->name);
        throw badValue(variable, text, ("one of " + known).c_str());
    }
    return *variant;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text = text.substr(at + 1);
    }
}

// "auto:COUNT" and then, each after a colon, the faulty boards ("2,4" or "faulty=2,4"), their
// faults ("faults=target-lost@3,no-hsit"), "sessions=N" and "gap=N".
BoardSwaps autoBoards(const char* variable, std::string_view text) {
    constexpr const char* kForm = "auto:COUNT[:FAULTY,...][:faults=FAULT,...][:sessions=N][:gap=N]";
    if (text.substr(0, 5) != "auto:")
        throw badValue(variable, text, kForm);
    BoardSwaps swaps;
    swaps.mode = BoardSwaps::Mode::Auto;
    const auto parts = split(text.substr(5), ':');
    swaps.count = static_cast<int>(parseInteger(variable, parts[0], 0, 1'000'000));
    for (std::size_t k = 1; k < parts.size(); ++k) {
        const std::string_view part = parts[k];
        const auto equals = part.find('=');
        const std::string_view key =
            equals == std::string_view::npos ? "faulty" : part.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? part : part.substr(equals + 1);
        if (key == "faulty") {
            for (const std::string_view number : split(value, ','))
                swaps.faulty.push_back(
                    static_cast<int>(parseInteger(variable, number, 1, swaps.count)));
        } else if (key == "faults") {
            Faults scratch;
            applyFaults(scratch, value, variable, true);
            swaps.faultyFaults = std::string(value);
        } else if (key == "sessions") {
            swaps.sessions = static_cast<int>(parseInteger(variable, value, 1, 1000));
        } else if (key == "gap") {
            swaps.gap = static_cast<int>(parseInteger(variable, value, 0, 1000));
        } else {
            throw badValue(variable, text, kForm);
        }
    }
    return swaps;
}

// KW_EMU_BOARD_FILE or KW_EMU_BOARDS (or their per-probe names), never both.
void applyBoardSwaps(Options& options, const std::string& fileVariable,
                     const std::string& autoVariable) {
    const char* file = std::getenv(fileVariable.c_str());
    const char* automatic = std::getenv(autoVariable.c_str());
    if (file != nullptr && automatic != nullptr)
        throw badValue(autoVariable.c_str(), automatic,
                       ("no " + fileVariable + " beside it: one way of swapping boards").c_str());
    if (file != nullptr) {
        if (*file == '\0')
            throw badValue(fileVariable.c_str(), file, "the path of a file naming the board");
        options.boards = {};
        options.boards.mode = BoardSwaps::Mode::File;
        options.boards.file = file;
    } else if (automatic != nullptr) {
        options.boards = autoBoards(autoVariable.c_str(), automatic);
    }
}

// "6000-6600" or "12000": the range of standard programming times, in microseconds.
void applyBlockMicros(Options& options, std::string_view text) {
    constexpr const char* kVariable = "KW_EMU_BLOCK_US";
    constexpr long kMost = 10'000'000;
    const auto dash = text.find('-');
    const long low = parseInteger(kVariable, text.substr(0, dash), 1, kMost);
    const long high = dash == std::string_view::npos
                          ? low
                          : parseInteger(kVariable, text.substr(dash + 1), 1, kMost);
    if (high < low)
        throw badValue(kVariable, text, "MIN-MAX with MIN no more than MAX, or one value");
    options.blockMicrosMin = static_cast<int>(low);
    options.blockMicrosMax = static_cast<int>(high);
}

} // namespace

Options optionsFromEnvironment() {
    Options options;
    const char* memory = std::getenv("KW_EMU_MEMORY");
    options.memoryFile = memory != nullptr ? memory : defaultMemoryFile();
    if (const char* chip = std::getenv("KW_EMU_CHIP"))
        options.chip = chipVariant("KW_EMU_CHIP", chip);
    if (const char* product = std::getenv("KW_EMU_PRODUCT")) {
        const long pid = parseInteger("KW_EMU_PRODUCT", product, 0, 0xFFFF);
        if (!generationOf(static_cast<std::uint16_t>(pid)))
            throw badValue("KW_EMU_PRODUCT", product,
                           "0x3748, 0x374B, 0x3752, 0x374E, 0x374F, 0x3753 or 0x3754");
        options.productId = static_cast<std::uint16_t>(pid);
    }
    if (const char* scale = std::getenv("KW_EMU_TIME_SCALE")) {
        char* end = nullptr;
        options.timeScale = std::strtod(scale, &end);
        if (*scale == '\0' || *end != '\0' || !(options.timeScale >= 0) || options.timeScale > 1000)
            throw badValue("KW_EMU_TIME_SCALE", scale, "a factor from 0 (no waiting) to 1000");
    }
    if (const char* micros = std::getenv("KW_EMU_USB_US"))
        options.usbTransferMicros =
            static_cast<int>(parseInteger("KW_EMU_USB_US", micros, 0, 1'000'000));
    if (const char* busy = std::getenv("KW_EMU_BUSY_ACCESS")) {
        const std::string_view value = busy;
        if (value == "fail")
            options.busyAccess = BusyAccess::Fail;
        else if (value == "wait")
            options.busyAccess = BusyAccess::Wait;
        else
            throw badValue("KW_EMU_BUSY_ACCESS", value, "fail or wait");
    }
    if (const char* block = std::getenv("KW_EMU_BLOCK_US"))
        applyBlockMicros(options, block);
    if (const char* seed = std::getenv("KW_EMU_SEED")) {
        const std::string copy(seed);
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(copy.c_str(), &end, 0);
        if (copy.empty() || *end != '\0' || errno == ERANGE || copy.front() == '-')
            throw badValue("KW_EMU_SEED", copy, "an unsigned number");
        options.seed = value;
    }
    if (const char* faults = std::getenv("KW_EMU_FAULTS"))
        applyFaults(options.faults, faults, "KW_EMU_FAULTS");
    applyBoardSwaps(options, "KW_EMU_BOARD_FILE", "KW_EMU_BOARDS");
    const char* trace = std::getenv("KW_EMU_TRACE");
    options.trace = trace != nullptr && *trace != '\0' && std::string_view(trace) != "0";
    return options;
}

void applyFaults(Faults& faults, std::string_view list, const char* variable, bool chipOnly) {
    while (!list.empty()) {
        const auto comma = list.find(',');
        const std::string_view token = list.substr(0, comma);
        if (!token.empty())
            applyFault(faults, token, variable, chipOnly);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    }
}

namespace {

std::vector<std::string> splitCommas(std::string_view list) {
    std::vector<std::string> parts;
    for (;;) {
        const auto comma = list.find(',');
        parts.emplace_back(list.substr(0, comma));
        if (comma == std::string_view::npos)
            return parts;
        list = list.substr(comma + 1);
    }
}

} // namespace

std::vector<Attachment> busFromEnvironment() {
    constexpr int kMostProbes = 8;
    const Options base = optionsFromEnvironment();
    int count = 1;
    if (const char* probes = std::getenv("KW_EMU_PROBES"))
        count = static_cast<int>(parseInteger("KW_EMU_PROBES", probes, 1, kMostProbes));
    std::vector<std::string> serials;
    if (const char* listed = std::getenv("KW_EMU_SERIALS")) {
        serials = splitCommas(listed);
        if (static_cast<int>(serials.size()) > count)
            throw badValue("KW_EMU_SERIALS", listed, "no more serials than KW_EMU_PROBES");
        for (const std::string& serial : serials)
            if (serial.size() > 126)
                throw badValue("KW_EMU_SERIALS", listed, "serials of at most 126 characters");
    }
    std::vector<Attachment> bus;
    for (int index = 0; index < count; ++index) {
        const std::string number = std::to_string(index + 1);
        Attachment probe;
        probe.options = base;
        // The first probe keeps the single probe's file, so one-probe setups carry over.
        if (index > 0 && !base.memoryFile.empty())
            probe.options.memoryFile = base.memoryFile + "." + number;
        probe.options.seed = base.seed + static_cast<std::uint64_t>(index);
        const std::string faultsName = "KW_EMU_FAULTS_" + number;
        if (const char* faults = std::getenv(faultsName.c_str()))
            applyFaults(probe.options.faults, faults, faultsName.c_str());
        // Probe n reads its own board file beside the first probe's, as with memory files.
        if (index > 0 && base.boards.mode == BoardSwaps::Mode::File)
            probe.options.boards.file = base.boards.file + "." + number;
        applyBoardSwaps(probe.options, "KW_EMU_BOARD_FILE_" + number, "KW_EMU_BOARDS_" + number);
        const std::string chipName = "KW_EMU_CHIP_" + number;
        if (const char* chip = std::getenv(chipName.c_str()))
            probe.options.chip = chipVariant(chipName.c_str(), chip);
        const std::string productName = "KW_EMU_PRODUCT_" + number;
        if (const char* product = std::getenv(productName.c_str())) {
            const long pid = parseInteger(productName.c_str(), product, 0, 0xFFFF);
            if (!generationOf(static_cast<std::uint16_t>(pid)))
                throw badValue(productName.c_str(), product,
                               "0x3748, 0x374B, 0x3752, 0x374E, 0x374F, 0x3753 or 0x3754");
            probe.options.productId = static_cast<std::uint16_t>(pid);
        }
        // 24 hexadecimal digits, as ST-LINKs report; the last two tell the probes apart.
        char serial[32];
        std::snprintf(serial, sizeof serial, "4B57454D55303030303030%02X", 0x31 + index);
        probe.serial = serial;
        if (static_cast<std::size_t>(index) < serials.size() && !serials[index].empty())
            probe.serial = serials[index];
        // The first on root port 2, the others behind a hub on root port 3.
        probe.ports = index == 0 ? std::vector<std::uint8_t>{2}
                                 : std::vector<std::uint8_t>{3, static_cast<std::uint8_t>(index)};
        bus.push_back(std::move(probe));
    }
    return bus;
}

} // namespace kw::emu
