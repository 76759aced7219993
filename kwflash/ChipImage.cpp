#include "kwflash/ChipImage.h"

#include <memory>
#include <system_error>

#include "image/Errors.h"
#include "image/FileReader.h"
#include "kwflash/CommandParts.h"
#include "kwflash/Commands.h"

namespace kw::cli {

namespace {

namespace fs = std::filesystem;

std::string notFitting(const Options& options) {
    return quoted(options.file) + " does not fit the " + chipName(options) + "'s " +
           std::to_string(options.chip->flashSize) + " bytes of flash";
}

std::string spanOf(const HexArea& area) {
    return addressRange(area.first(), area.last());
}

// An empty file is what a failed build leaves behind; taken as an image it would erase the
// chip.
void refuseEmpty(const fs::path& file) {
    std::error_code ec;
    if (fs::is_regular_file(file, ec) && fs::file_size(file, ec) == 0 && !ec)
        throw Failure{kBadImageFile, quoted(file) + " is empty"};
}

// Up to `limit` bytes of a raw file, refusing a longer one with `tooLong` and its length.
std::vector<std::uint8_t> rawBytes(const fs::path& file, std::int32_t limit,
                                   const std::string& tooLong) {
    // One byte more than the area holds tells a file that is too long from one that fits.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(limit) + 1);
    const std::size_t length = readFilePrefix(file, bytes);
    if (length > static_cast<std::size_t>(limit)) {
        std::error_code ec;
        const auto fileLength = fs::file_size(file, ec);
        throw Failure{kBadImageFile,
                      tooLong + (ec ? std::string(": it is longer")
                                    : ": it is " + std::to_string(fileLength) + " bytes")};
    }
    bytes.resize(length);
    return bytes;
}

void loadHexImage(const Options& options, ChipImage& image) {
    const std::int32_t size = options.chip->flashSize;
    HexLoadResult loaded = loadIntelHexFile(options.file, size, HexChecks::Strict);
    if (loaded.cut) {
        if (loaded.base == kHexFlashBase)
            throw Failure{kBadImageFile, notFitting(options) + ": it has data past " +
                                             hex(options.chip->flashEnd() - 1, 4)};
        throw Failure{kBadImageFile, notFitting(options) + ": it has data past offset " +
                                         hex(static_cast<std::uint32_t>(size) - 1, 4) +
                                         " (with records below " + hex(kHexFlashBase, 4) +
                                         " in the file, every address is an offset in the image)"};
    }
    const auto bytes = loaded.image->bytes();
    for (std::int32_t i = 0; i < size; ++i)
        if (loaded.defined[static_cast<std::size_t>(i)])
            image.flash.set(options.chip->flashBase + static_cast<std::uint32_t>(i),
                            bytes[static_cast<std::size_t>(i)]);
    image.eeprom = std::move(loaded.eeprom);
    image.options = std::move(loaded.options);
    image.description = loaded.base == kHexFlashBase
                            ? "Intel HEX, addresses from " + hex(kHexFlashBase, 4)
                            : std::string("Intel HEX, addresses from 0");
}

void loadRawImage(const Options& options, ChipImage& image) {
    const auto bytes = rawBytes(options.file, options.chip->flashSize, notFitting(options));
    for (std::size_t i = 0; i < bytes.size(); ++i)
        image.flash.set(options.chip->flashBase + static_cast<std::uint32_t>(i), bytes[i]);
    image.description = "raw binary, " + std::to_string(bytes.size()) + " bytes";
}

// --eeprom FILE: raw bytes from 0x4000, or Intel HEX with EEPROM records only.
HexArea loadEepromFile(const Options& options) {
    const fs::path& file = *options.eepromFile;
    refuseEmpty(file);
    HexArea eeprom{kHexEepromBase, kHexEepromEnd};
    if (options.eepromFormat == ImageFormat::Raw) {
        const std::int32_t size = options.chip->eepromSize;
        const auto bytes = rawBytes(file, size,
                                    quoted(file) + " does not fit the " + chipName(options) +
                                        "'s " + std::to_string(size) + " bytes of EEPROM");
        for (std::size_t i = 0; i < bytes.size(); ++i)
            eeprom.set(kHexEepromBase + static_cast<std::uint32_t>(i), bytes[i]);
    } else {
        HexLoadResult loaded = loadIntelHexFile(file, options.chip->flashSize, HexChecks::Strict);
        if (loaded.hasData || loaded.cut || loaded.options.count() != 0)
            throw Failure{kBadImageFile, quoted(file) + " holds more than EEPROM data: --eeprom " +
                                             "takes records at " +
                                             addressRange(kHexEepromBase, kHexEepromEnd - 1) +
                                             " only"};
        eeprom = std::move(loaded.eeprom);
    }
    if (eeprom.count() == 0)
        throw Failure{kBadImageFile, quoted(file) + " holds no data records"};
    return eeprom;
}

void checkAreas(const Options& options, const ChipImage& image, const fs::path& eepromSource) {
    const Chip& chip = *options.chip;
    if (image.eeprom.count() != 0 && image.eeprom.last() >= chip.eepromEnd())
        throw Failure{kBadImageFile, quoted(eepromSource) + " has EEPROM data at " +
                                         spanOf(image.eeprom) + ", past the " + chipName(options) +
                                         "'s " + std::to_string(chip.eepromSize) +
                                         " bytes of EEPROM (" +
                                         addressRange(chip.eepromBase, chip.eepromEnd() - 1) + ")"};
    if (image.options.count() == 0)
        return;
    if (image.options.last() >= chip.optionEnd())
        throw Failure{kBadImageFile, quoted(options.file) + " has option-byte data at " +
                                         spanOf(image.options) + ", past the option bytes " +
                                         addressRange(chip.optionBase, chip.optionEnd() - 1)};
    for (const int index : kOptionPairIndexes) {
        const std::uint32_t at = chip.optionBase + static_cast<std::uint32_t>(index);
        if (!image.options.defined(at) || !image.options.defined(at + 1))
            continue;
        const std::uint8_t value = image.options.value(at);
        const std::uint8_t complement = image.options.value(at + 1);
        if (static_cast<std::uint8_t>(~value) != complement)
            throw Failure{kBadImageFile, quoted(options.file) + " gives the option byte at " +
                                             hex(at, 4) + " the value " + hex(value, 2) +
                                             " and its complement at " + hex(at + 1, 4) + " " +
                                             hex(complement, 2) + ", not " +
                                             hex(static_cast<std::uint8_t>(~value), 2)};
    }
}

} // namespace

ChipImage loadChipImage(const Options& options) {
    ChipImage image;
    image.flash = HexArea(options.chip->flashBase, options.chip->flashEnd());
    try {
        refuseEmpty(options.file);
        if (options.format == ImageFormat::IntelHex)
            loadHexImage(options, image);
        else
            loadRawImage(options, image);
        if (options.eepromFile) {
            if (image.eeprom.count() != 0)
                throw Failure{kBadImageFile, quoted(options.file) + " holds EEPROM data itself (" +
                                                 spanOf(image.eeprom) +
                                                 "): leave out --eeprom, or the records"};
            image.eeprom = loadEepromFile(options);
        }
    } catch (const IoError& e) {
        throw Failure{kBadImageFile, lowerFirst(e.what())};
    } catch (const ConvertError& e) {
        const fs::path& file = options.eepromFile ? *options.eepromFile : options.file;
        throw Failure{kBadImageFile, quoted(file) + " is not valid Intel HEX: " + e.what()};
    }
    // Programmed, it would only erase: what a failed build or a truncated copy leaves.
    if (image.empty())
        throw Failure{kBadImageFile, quoted(options.file) + " holds no data records"};
    checkAreas(options, image, options.eepromFile ? *options.eepromFile : options.file);
    return image;
}

std::vector<std::pair<int, std::uint8_t>> optionWritesOf(const HexArea& options) {
    std::vector<std::pair<int, std::uint8_t>> writes;
    for (const int index : kOptionPairIndexes) {
        const std::uint32_t at = options.base() + static_cast<std::uint32_t>(index);
        if (options.defined(at))
            writes.emplace_back(index, options.value(at));
        else if (options.defined(at + 1))
            writes.emplace_back(index, static_cast<std::uint8_t>(~options.value(at + 1)));
    }
    if (options.defined(options.base()) && options.value(options.base()) == kRopProtected)
        writes.emplace_back(kRopIndex, kRopProtected);
    return writes;
}

std::vector<int> definedBlocks(const HexArea& area, int blockSize) {
    std::vector<int> blocks;
    const auto size = static_cast<int>(area.end() - area.base());
    for (int block = 0; block * blockSize < size; ++block) {
        for (int i = block * blockSize; i < std::min(size, (block + 1) * blockSize); ++i) {
            if (area.defined(area.base() + static_cast<std::uint32_t>(i))) {
                blocks.push_back(block);
                break;
            }
        }
    }
    return blocks;
}

std::vector<std::uint8_t> areaBytes(const HexArea& area, std::int32_t length) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max(length, 0)), 0x00);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint32_t at = area.base() + static_cast<std::uint32_t>(i);
        if (area.defined(at))
            bytes[i] = area.value(at);
    }
    return bytes;
}

} // namespace kw::cli
