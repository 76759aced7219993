#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace kw {

// One supported target chip. Every size the tool, the programmer libraries and their tests
// need comes from here.
struct Chip {
    std::string_view name;          // "STM8S103F3", as the chip is marked
    std::string_view deviceRowName; // how the main window's device row spells it; empty when
                                    // the window does not offer the chip
    std::int32_t flashSize;         // bytes of program memory
    std::uint32_t flashBase;        // address of the first flash byte on the chip's bus
    std::int32_t blockSize;         // bytes the flash controller programs in one operation
    std::int32_t eepromSize;        // bytes of data EEPROM
    std::uint32_t eepromBase;
    std::uint32_t optionBase; // ROP, then the option bytes with their complements
    std::int32_t optionCount; // bytes from optionBase

    constexpr std::uint32_t flashEnd() const {
        return flashBase + static_cast<std::uint32_t>(flashSize);
    }
    constexpr std::uint32_t eepromEnd() const {
        return eepromBase + static_cast<std::uint32_t>(eepromSize);
    }
    constexpr std::uint32_t optionEnd() const {
        return optionBase + static_cast<std::uint32_t>(optionCount);
    }
};

// All are low-density STM8S parts: 64-byte blocks, EEPROM from 0x4000, option bytes
// 0x4800-0x480A (ROP, then UBC, AFR, clock, HSE and HSECNT each with its complement). The
// S903's and S001's option bytes are taken from that common layout; their own data sheets
// were not at hand to confirm it.
inline constexpr Chip kStm8s103f2{"STM8S103F2", "STM8SF103F2", 4096,   0x8000, 64,
                                  640,          0x4000,        0x4800, 11};
inline constexpr Chip kStm8s103f3{"STM8S103F3", "STM8SF103F3", 8192,   0x8000, 64,
                                  640,          0x4000,        0x4800, 11};
inline constexpr Chip kStm8s003f3{"STM8S003F3", "", 8192, 0x8000, 64, 128, 0x4000, 0x4800, 11};
inline constexpr Chip kStm8s903f3{"STM8S903F3", "", 8192, 0x8000, 64, 640, 0x4000, 0x4800, 11};
inline constexpr Chip kStm8s903k3{"STM8S903K3", "", 8192, 0x8000, 64, 640, 0x4000, 0x4800, 11};
inline constexpr Chip kStm8s001j3{"STM8S001J3", "", 8192, 0x8000, 64, 128, 0x4000, 0x4800, 11};

// Every chip kwflash knows, smallest first.
inline constexpr std::array<const Chip*, 6> kChips{&kStm8s103f2, &kStm8s103f3, &kStm8s003f3,
                                                   &kStm8s903f3, &kStm8s903k3, &kStm8s001j3};

// The chips the main window offers in its device row and offline tab.
inline constexpr std::array<const Chip*, 2> kWindowChips{&kStm8s103f2, &kStm8s103f3};

// The chip with the most flash: a transfer always covers all of it, whichever chip is chosen.
inline constexpr const Chip& kLargestChip = kStm8s103f3;

// The chip among `chips` whose marking is `name`, compared exactly; nullptr for any other text.
constexpr const Chip* chipNamed(std::string_view name,
                                std::span<const Chip* const> chips = kChips) noexcept {
    for (const Chip* chip : chips)
        if (chip->name == name)
            return chip;
    return nullptr;
}

// The chip the device row calls `text`, compared exactly; nullptr for any other text.
constexpr const Chip* chipOnDeviceRow(std::string_view text) noexcept {
    for (const Chip* chip : kWindowChips)
        if (chip->deviceRowName == text)
            return chip;
    return nullptr;
}

// The chip `text` names by its marking or the device row's spelling, in any letter case;
// nullptr for any other text.
constexpr const Chip* chipSpelled(std::string_view text) noexcept {
    const auto same = [](std::string_view a, std::string_view b) {
        if (a.empty() || a.size() != b.size())
            return false;
        for (std::size_t k = 0; k < a.size(); ++k) {
            const auto up = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
            if (up(a[k]) != up(b[k]))
                return false;
        }
        return true;
    };
    for (const Chip* chip : kChips)
        if (same(chip->name, text) || same(chip->deviceRowName, text))
            return chip;
    return nullptr;
}

} // namespace kw
