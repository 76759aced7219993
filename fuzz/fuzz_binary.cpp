// Raw image loading: the input is the file. Each image size the tool uses (both flash
// sizes and the EEPROM) must give the file's first bytes, padded with 0xFF.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "image/BinaryLoader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path file = kwfuzz::scratchDir() / "image.bin";
    kwfuzz::writeFile(file, data, size);

    for (const std::int32_t imageSize : {4096, 8192, 256}) {
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
