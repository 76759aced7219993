#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "target/Chip.h"

namespace kw {

// The option bytes from 0x4800 as the chip stores them: ROP, then OPT1 NOPT1 ... OPT5 NOPT5.
inline constexpr int kOptionBytesLength = 11;
using OptionBytes = std::array<std::uint8_t, kOptionBytesLength>;

// What a new chip holds: no protection, every complement matching.
inline constexpr OptionBytes kFactoryOptionBytes{0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                                                 0xFF, 0x00, 0xFF, 0x00, 0xFF};

// ROP's value that protects the chip; any other value leaves it readable.
inline constexpr std::uint8_t kRopProtected = 0xAA;

// Indexes into OptionBytes of the bytes a programmer writes (ROP alone, each OPTn with its
// complement in the byte after it).
inline constexpr int kRopIndex = 0;
inline constexpr std::array<int, 5> kOptionPairIndexes{1, 3, 5, 7, 9};

// One named setting: `width` bits from bit `shift` of the byte at `index`. A field of the
// whole byte has shift 0 and width 8.
struct OptionField {
    std::string_view name;
    int index;
    int shift;
    int width;

    constexpr std::uint8_t mask() const {
        return static_cast<std::uint8_t>(((1u << width) - 1u) << shift);
    }
    constexpr unsigned get(const OptionBytes& bytes) const {
        return (bytes[static_cast<std::size_t>(index)] & mask()) >> shift;
    }
    constexpr bool oneBit() const { return width == 1; }
};

// Every setting by the names RM0016 and the STM8S103 data sheet give them, in the order of
// their bytes. AFR is the whole byte, AFR0..AFR7 its bits.
inline constexpr std::array<OptionField, 20> kOptionFields{{
    {"ROP", 0, 0, 8},    {"UBC", 1, 0, 8},      {"AFR", 3, 0, 8},     {"AFR0", 3, 0, 1},
    {"AFR1", 3, 1, 1},   {"AFR2", 3, 2, 1},     {"AFR3", 3, 3, 1},    {"AFR4", 3, 4, 1},
    {"AFR5", 3, 5, 1},   {"AFR6", 3, 6, 1},     {"AFR7", 3, 7, 1},    {"HSITRIM", 5, 4, 1},
    {"LSI_EN", 5, 3, 1}, {"IWDG_HW", 5, 2, 1},  {"WWDG_HW", 5, 1, 1}, {"WWDG_HALT", 5, 0, 1},
    {"EXTCLK", 7, 3, 1}, {"CKAWUSEL", 7, 2, 1}, {"PRSC", 7, 0, 2},    {"HSECNT", 9, 0, 8},
}};

// The field called `name`, in any letter case; nullptr for any other text.
const OptionField* optionFieldNamed(std::string_view name) noexcept;

// Whether the pair whose option byte is at `index` (1, 3, ... 9) holds its complement.
constexpr bool complementMatches(const OptionBytes& bytes, int index) noexcept {
    return static_cast<std::uint8_t>(~bytes[static_cast<std::size_t>(index)]) ==
           bytes[static_cast<std::size_t>(index) + 1];
}

constexpr bool readoutProtected(const OptionBytes& bytes) noexcept {
    return bytes[kRopIndex] == kRopProtected;
}

// The flash UBC write-protects: its first `pages` 64-byte pages from the flash base, all of
// the chip's flash for a value past its page count. `pages` 0: none.
struct BootArea {
    int pages = 0;
    std::uint32_t first = 0; // chip addresses, only when pages > 0
    std::uint32_t last = 0;
};
inline constexpr int kUbcPageSize = 64;
BootArea bootArea(const OptionBytes& bytes, const Chip& chip) noexcept;

// HSECNT's values and the HSE cycles each waits for; nullptr for a reserved value.
const char* hseCycles(std::uint8_t value) noexcept;

// The value of `text` for `field`: decimal, 0x-hex, or on/off (also 1/0) for a one-bit field
// and for ROP (0xAA and 0x00).
// nullopt with `why` set when it does not convert or does not fit the field (HSECNT takes
// only its four values).
std::optional<unsigned> parseOptionValue(const OptionField& field, std::string_view text,
                                         std::string& why);

// Sets `field` to `value` (already checked) in `bytes`, keeping the complement of its pair.
void setOptionField(OptionBytes& bytes, const OptionField& field, unsigned value) noexcept;

} // namespace kw
