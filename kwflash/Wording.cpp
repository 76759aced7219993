#include "kwflash/Wording.h"

#include <cstdio>

namespace kw::cli {

SessionOptions sessionOptions(const Options& options) {
    SessionOptions session;
    if (options.swim != "auto")
        session.settings.emplace_back("swim", options.swim);
    if (!options.probe.empty())
        session.settings.emplace_back("probe", options.probe);
    // The library's texts end kwflash's lines; a library that speaks only its own keeps it.
    session.preferences.emplace_back("language", "en");
    return session;
}

std::string openFailureText(const TransferFailure& failure) {
    std::string reason = failure.loaderReason;
    if (failure.refusal) {
        const OptionRefusal& refusal = *failure.refusal;
        const std::string what = refusal.name == "swim"    ? std::string("a SWIM speed")
                                 : refusal.name == "probe" ? std::string("which probe to use")
                                                           : "a " + refusal.name;
        reason = failure.refusal->noOptionExport
                     ? std::string(kLibraryFileName) + " cannot be told " + what + " (it has no " +
                           kSetProgrammerOptionName + " export): run without --" + refusal.name
                     : std::string(kLibraryFileName) + " refuses --" + refusal.name + " " +
                           refusal.value;
    } else if (reason.empty()) {
        reason = std::string(kLibraryFileName) +
                 " is neither beside kwflash nor found by the system's library search";
    }
    return "cannot load the programmer library: " + reason;
}

std::string stoppedText(const ProgrammerStopped& stop) {
    std::string text = "the programmer library stopped: ";
    const std::string value = std::to_string(stop.value());
    switch (stop.kind()) {
    case StopKind::Signal: {
        text += "killed by signal " + value;
        const std::string name = signalName(stop.value());
        if (!name.empty())
            text += " (" + name + ")";
        break;
    }
    case StopKind::Exit:
        text += "exited with status " + value;
        break;
    case StopKind::Timeout:
        text += "did not answer within " + value + " s";
        break;
    }
    return text;
}

} // namespace kw::cli

namespace kw::cli {

namespace {

std::string hexByte(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

std::string address(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// What a setting's value means on the chip, as RM0016 describes it.
std::string meaning(const OptionField& field, unsigned value, const OptionBytes& bytes,
                    const Chip& chip) {
    const std::string_view name = field.name;
    if (name == "ROP")
        return value == kRopProtected
                   ? "on: flash and EEPROM cannot be read or written (kwflash unlock)"
                   : "off";
    if (name == "UBC") {
        const BootArea area = bootArea(bytes, chip);
        if (area.pages == 0)
            return "no write-protected boot area";
        return std::to_string(area.pages) + (area.pages == 1 ? " page" : " pages") +
               " of 64 bytes write-protected, " + address(area.first) + "-" + address(area.last);
    }
    if (name == "AFR") {
        std::string on;
        for (int bit = 7; bit >= 0; --bit)
            if ((value >> bit & 1u) != 0)
                on += (on.empty() ? "" : " ") + ("AFR" + std::to_string(bit));
        return on.empty() ? "no alternate functions remapped"
                          : on + " on (pins as the chip's data sheet lists them)";
    }
    if (name == "HSITRIM")
        return value ? "4-bit HSI trimming" : "3-bit HSI trimming";
    if (name == "LSI_EN")
        return value ? "LSI available as CPU clock" : "LSI not available as CPU clock";
    if (name == "IWDG_HW")
        return value ? "independent watchdog started by hardware"
                     : "independent watchdog started by software";
    if (name == "WWDG_HW")
        return value ? "window watchdog started by hardware"
                     : "window watchdog started by software";
    if (name == "WWDG_HALT")
        return value ? "reset on halt while the window watchdog runs"
                     : "no reset on halt while the window watchdog runs";
    if (name == "EXTCLK")
        return value ? "external clock signal on OSCIN" : "crystal on OSCIN/OSCOUT";
    if (name == "CKAWUSEL")
        return value ? "HSE with prescaler clocks the auto-wakeup unit"
                     : "LSI clocks the auto-wakeup unit";
    if (name == "PRSC") {
        static constexpr const char* kFrom[] = {"24", "16", "8", "4"};
        return std::string("auto-wakeup prescaler ") + kFrom[value & 3u] + " MHz to 128 kHz";
    }
    // HSECNT
    const char* cycles = hseCycles(static_cast<std::uint8_t>(value));
    return cycles != nullptr ? std::string(cycles) + " HSE cycles to stabilise" : "reserved value";
}

} // namespace

std::string exportMissingText(TransferKind kind, const char* exportName) {
    const char* cannot = nullptr;
    switch (kind) {
    case TransferKind::Download:
    case TransferKind::ReadBack:
        return std::string("the programmer library has no ") + exportName + " export";
    case TransferKind::EepromWrite:
        cannot = "write EEPROM";
        break;
    case TransferKind::EepromRead:
        cannot = "read EEPROM";
        break;
    case TransferKind::OptionRead:
        cannot = "read option bytes";
        break;
    case TransferKind::OptionWrite:
        cannot = "write option bytes";
        break;
    case TransferKind::Unlock:
        cannot = "remove read-out protection";
        break;
    }
    return std::string("this programmer cannot ") + cannot + " (its library " + kLibraryFileName +
           " has no " + exportName + " export)";
}

std::string optionByteName(int index) {
    switch (index) {
    case 0:
        return "ROP";
    case 1:
        return "UBC";
    case 3:
        return "AFR";
    case 9:
        return "HSECNT";
    default:
        break;
    }
    return index % 2 == 1 ? "OPT" + std::to_string((index + 1) / 2)
                          : "NOPT" + std::to_string(index / 2);
}

std::vector<std::string> optionLines(const OptionBytes& bytes, const Chip& chip) {
    std::vector<std::string> lines;
    for (const OptionField& field : kOptionFields) {
        if (field.name.starts_with("AFR") && field.name.size() > 3)
            continue; // AFR's bits are named on its line
        const unsigned value = field.get(bytes);
        const std::string shown = field.width == 8 ? hexByte(value) : std::to_string(value);
        char line[160];
        std::snprintf(line, sizeof line, "%-10s %-5s %s", std::string(field.name).c_str(),
                      shown.c_str(), meaning(field, value, bytes, chip).c_str());
        lines.emplace_back(line);
    }
    std::string bad;
    for (const int index : kOptionPairIndexes) {
        if (complementMatches(bytes, index))
            continue;
        const auto at = static_cast<unsigned>(chip.optionBase) + static_cast<unsigned>(index);
        bad += (bad.empty() ? "" : "; ") + optionByteName(index) + " " + address(at) + " " +
               hexByte(bytes[static_cast<std::size_t>(index)]) + ", complement " + address(at + 1) +
               " " + hexByte(bytes[static_cast<std::size_t>(index) + 1]);
    }
    lines.push_back(bad.empty() ? "Complements: all five match" : "Complements: MISMATCH " + bad);
    return lines;
}

} // namespace kw::cli
