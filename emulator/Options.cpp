#include "emulator/Probe.h"

#include "target/Chip.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

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

// "name" or "name@N" in a comma-separated list.
void applyFault(Faults& faults, std::string_view token) {
    const auto at = token.find('@');
    const std::string_view name = token.substr(0, at);
    const bool counted = at != std::string_view::npos;
    const auto count = [&] {
        return static_cast<int>(parseInteger("KW_EMU_FAULTS", token.substr(at + 1), 0, 1'000'000));
    };
    if (!counted && name == "no-probe")
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
    else if (!counted && name == "no-target")
        faults.targetAbsent = true;
    else if (counted && name == "target-lost")
        faults.targetLostAtBlock = count();
    else if (!counted && name == "no-hsit")
        faults.hsitNeverSet = true;
    else if (!counted && name == "rop")
        faults.readoutProtected = true;
    else if (counted && name == "ubc")
        faults.ubcBlocks = std::min(count(), 255);
    else if (!counted && name == "no-swim")
        faults.noSwim = true;
    else if (!counted && name == "stale-swim")
        faults.staleSwimMode = true;
    else if (!counted && name == "bad-state-per-block")
        faults.badStatePerBlock = true;
    else if (counted && name == "bad-state")
        faults.badStateAtCommand = count();
    else if (!counted && name == "version-fail-once")
        faults.versionFailOnce = true;
    else if (!counted && name == "flaky-high-speed")
        faults.flakyHighSpeed = true;
    else if (!(name == "none" && !counted))
        throw badValue("KW_EMU_FAULTS", token,
                       "no-probe, access, busy, timeout@N, short@N, unplug@N, no-target, "
                       "target-lost@N, no-hsit, rop, ubc@N, no-swim, stale-swim, "
                       "bad-state-per-block, bad-state@N, version-fail-once, flaky-high-speed "
                       "or none");
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
    if (const char* chip = std::getenv("KW_EMU_CHIP")) {
        const Chip* named = chipNamed(chip);
        if (named == nullptr)
            throw badValue("KW_EMU_CHIP", chip, "STM8S103F2 or STM8S103F3");
        options.chip = named == &kStm8s103f2 ? ChipVariant::Stm8s103f2 : ChipVariant::Stm8s103f3;
    }
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
    if (const char* faults = std::getenv("KW_EMU_FAULTS")) {
        std::string_view rest = faults;
        while (!rest.empty()) {
            const auto comma = rest.find(',');
            const std::string_view token = rest.substr(0, comma);
            if (!token.empty())
                applyFault(options.faults, token);
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        }
    }
    const char* trace = std::getenv("KW_EMU_TRACE");
    options.trace = trace != nullptr && *trace != '\0' && std::string_view(trace) != "0";
    return options;
}

} // namespace kw::emu
