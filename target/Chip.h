#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kw {

// One supported target chip. Every size the tool, the programmer libraries and their tests
// need comes from here.
struct Chip {
    std::string_view name;          // "STM8S103F3", as the chip is marked
    std::string_view deviceRowName; // how the main window's device row spells it
    std::int32_t flashSize;         // bytes of program memory
    std::uint32_t flashBase;        // address of the first flash byte on the chip's bus
    std::int32_t blockSize;         // bytes the flash controller programs in one operation
    std::int32_t eepromSize;        // bytes of data EEPROM
    std::uint32_t eepromBase;

    constexpr std::uint32_t flashEnd() const {
        return flashBase + static_cast<std::uint32_t>(flashSize);
    }
};

inline constexpr Chip kStm8s103f2{"STM8S103F2", "STM8SF103F2", 4096, 0x8000, 64, 640, 0x4000};
inline constexpr Chip kStm8s103f3{"STM8S103F3", "STM8SF103F3", 8192, 0x8000, 64, 640, 0x4000};

// Smallest first.
inline constexpr std::array<const Chip*, 2> kChips{&kStm8s103f2, &kStm8s103f3};

// The chip with the most flash: a transfer always covers all of it, whichever chip is chosen.
inline constexpr const Chip& kLargestChip = kStm8s103f3;

// The chip whose marking is `name`, compared exactly; nullptr for any other text.
constexpr const Chip* chipNamed(std::string_view name) noexcept {
    for (const Chip* chip : kChips)
        if (chip->name == name)
            return chip;
    return nullptr;
}

// The chip the device row calls `text`, compared exactly; nullptr for any other text.
constexpr const Chip* chipOnDeviceRow(std::string_view text) noexcept {
    for (const Chip* chip : kChips)
        if (chip->deviceRowName == text)
            return chip;
    return nullptr;
}

} // namespace kw
