#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "image/ImageBuffer.h"
#include "target/Chip.h"

namespace kw {

inline constexpr std::int64_t kHexImageLength = 65536;

// Toolchains link flash at the chip's flash base and write their records there.
inline constexpr std::uint32_t kHexFlashBase = kLargestChip.flashBase;
static_assert(kStm8s103f2.flashBase == kHexFlashBase && kStm8s103f3.flashBase == kHexFlashBase,
              "every chip's flash starts at the same address");

// The chip's areas besides flash that a file read from the flash base may fill.
inline constexpr std::uint32_t kHexEepromBase = kLargestChip.eepromBase;
inline constexpr std::uint32_t kHexEepromEnd = 0x4800;
inline constexpr std::uint32_t kHexOptionBase = 0x4800;
inline constexpr std::uint32_t kHexOptionEnd = 0x4900;
static_assert(kStm8s103f2.eepromBase == kHexEepromBase && kHexEepromBase == 0x4000,
              "every chip's EEPROM starts at the same address");

// The bytes a file gives one of those areas, by chip address.
class HexArea {
public:
    HexArea(std::uint32_t base, std::uint32_t end);

    std::uint32_t base() const noexcept { return base_; }
    std::uint32_t end() const noexcept { return end_; }
    bool contains(std::uint32_t address) const noexcept {
        return address >= base_ && address < end_;
    }
    void set(std::uint32_t address, std::uint8_t value) noexcept;
    void clear() noexcept;

    // How many addresses the file gives a value; the lowest and highest of them.
    std::size_t count() const noexcept { return count_; }
    std::uint32_t first() const noexcept;
    std::uint32_t last() const noexcept;
    bool defined(std::uint32_t address) const noexcept;
    // The value the file gives `address`, 0xFF where it gives none.
    std::uint8_t value(std::uint32_t address) const noexcept;

private:
    std::uint32_t base_;
    std::uint32_t end_;
    std::vector<std::uint8_t> values_;
    std::vector<bool> defined_;
    std::size_t count_ = 0;
};

struct HexLoadResult {
    std::unique_ptr<ImageBuffer> image; // 65536 bytes, 0..flashSize-1 erased, records stored
    bool cut = false; // a byte at or past flashSize was stored and reading stopped there
    // The load address that became image index 0: kHexFlashBase when the file was read
    // relative to the flash base, else 0.
    std::uint32_t base = 0;
    bool hasData = false; // at least one data byte was stored in the image
    // Strict reading only, and not after a cut: for each image index, whether a record gave
    // it a value (the rest of the image is only erased).
    std::vector<bool> defined;
    // Filled only when the file is read from the flash base; otherwise their records are
    // flash like any other.
    HexArea eeprom{kHexEepromBase, kHexEepromEnd};
    HexArea options{kHexOptionBase, kHexOptionEnd};
};

// How much of the format a load checks.
enum class HexChecks {
    // The window's reading, as described at decodeIntelHex.
    Lenient,
    // For programming without a person looking at the image: every non-empty line must be a
    // whole record (':', hexadecimal digits, a length that matches the line, a correct
    // checksum); extended address records (02, 04) are refused unless they are 0x0000, so no
    // data is moved into the 16-bit space; start-address records (03, 05) are ignored; other
    // types, any record after the end-of-file record and a byte given two different values
    // are refused. ConvertError then says "line N: " and what is wrong; lines count as an
    // editor counts them, empty ones included. What it accepts reads exactly as Lenient
    // reads it, a cut included (lines after a cut are not checked).
    Strict,
};

// Decodes Intel HEX text into a fresh image. Only data records (type 0) are taken; the
// 16-bit load address, less the base, is the image index. Other record types, start
// characters and checksums are not examined, and an end-of-file record does not end the
// reading.
//
// The base is kHexFlashBase when the text holds at least one data record of a non-zero count
// and every such record lies at or above it (as toolchains write flash), and flashSize does
// not exceed kHexFlashBase; otherwise it is 0. A record whose type, count or address does not
// convert is not counted.
//
// When flashSize does not exceed kHexEepromBase either, a record that lies wholly in
// kHexEepromBase..kHexOptionEnd-1 (EEPROM and option bytes) counts as lying above the flash
// base for that rule, so a file of nothing else is read from the flash base too. Read from
// the flash base, such a record's bytes go to the result's eeprom and options, never into
// the image; read from 0, it is flash as any record is. Those after a cut are not read.
//
// Lines end at CR LF, LF or a lone CR; empty lines are skipped. Fields are read by character
// position: count 2-3, address 4-7, type 8-9, data byte k at 2k+8..2k+9 (1-based). A field
// that the line end cuts short is read from the characters present; one wholly past the line
// end, or holding a non-hexadecimal character, throws ConvertError with the text
// "'0x<field>' is not a valid integer value"; nothing is returned then.
//
// Reading stops after the first byte stored at or past index `flashSize` (cut = true); that
// byte stays in the image. A byte the 65536-byte buffer cannot hold is never stored and also
// cuts.
HexLoadResult decodeIntelHex(std::string_view text, std::int32_t flashSize,
                             HexChecks checks = HexChecks::Lenient);

// Decodes a file as decodeIntelHex decodes its text, reading it piecewise so that memory
// use does not grow with the file. Throws IoError when the file cannot be opened or read or
// is not a regular file.
HexLoadResult loadIntelHexFile(const std::filesystem::path& file, std::int32_t flashSize,
                               HexChecks checks = HexChecks::Lenient);

} // namespace kw
