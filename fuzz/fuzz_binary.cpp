// Raw image loading: the input is the file. Each image size the tool uses (each chip's flash
// and the EEPROM image) must give the file's first bytes, padded with 0xFF.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "image/BinaryLoader.h"
#include "target/Chip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path file = kwfuzz::scratchDir() / "image.bin";
    kwfuzz::writeFile(file, data, size);

    constexpr std::int32_t kEepromImageSize = 256; // what the window's EEPROM loader uses
    for (const std::int32_t imageSize :
         {kw::kStm8s103f2.flashSize, kw::kStm8s103f3.flashSize, kEepromImageSize}) {
        const auto image = kw::loadBinaryImageFile(file, imageSize);
        if (!image || image->size() != static_cast<std::size_t>(imageSize)) {
            kwfuzz::fail("image has the wrong size");
        }
        const auto bytes = image->bytes();
        const std::size_t kept = std::min(size, bytes.size());
        if (kept != 0 && std::memcmp(bytes.data(), data, kept) != 0) {
            kwfuzz::fail("image does not start with the file");
        }
        if (std::any_of(bytes.begin() + static_cast<std::ptrdiff_t>(kept), bytes.end(),
                        [](std::uint8_t b) { return b != 0xFF; })) {
            kwfuzz::fail("image is not erased past the file");
        }
    }
    return 0;
}
