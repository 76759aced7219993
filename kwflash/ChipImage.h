#pragma once

#include <string>
#include <utility>
#include <vector>

#include "image/IntelHexLoader.h"
#include "kwflash/Arguments.h"
#include "target/OptionBytes.h"

namespace kw::cli {

// What the command line's files give each area of the chip, by chip address: only the bytes
// a file defines (a raw file defines every byte of its length). Loaded whole before the
// programmer is touched; a file that does not fit its area is refused (exit 2).
struct ChipImage {
    HexArea flash{kHexFlashBase, kHexFlashBase};
    HexArea eeprom{kHexEepromBase, kHexEepromEnd};
    HexArea options{kHexOptionBase, kHexOptionEnd};
    std::string description; // of IMAGE, for the "Image" line

    bool empty() const { return flash.count() + eeprom.count() + options.count() == 0; }
};

// IMAGE (and --eeprom FILE) for the chip `options` names. Throws Failure.
ChipImage loadChipImage(const Options& options);

// The option bytes a file sets, as a programmer writes them: (index, value) for ROP (0) and
// each OPTn (odd index) it gives, OPTn taken from NOPTn when it gives only the complement.
// ROP last, and only when it protects: a file never unlocks a chip.
std::vector<std::pair<int, std::uint8_t>> optionWritesOf(const HexArea& options);

// The blocks of `blockSize` holding at least one byte `area` defines, from the area's base.
std::vector<int> definedBlocks(const HexArea& area, int blockSize);

// The area's bytes from its base for `length` bytes: 0x00 (the chip's erased state) where it
// defines none.
std::vector<std::uint8_t> areaBytes(const HexArea& area, std::int32_t length);

} // namespace kw::cli
