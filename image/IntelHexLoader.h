#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include "image/ImageBuffer.h"

namespace kw {

inline constexpr std::int64_t kHexImageLength = 65536;

struct HexLoadResult {
    std::unique_ptr<ImageBuffer> image; // 65536 bytes, 0..flashSize-1 erased, records stored
    bool cut = false; // a byte at or past flashSize was stored and reading stopped there
};

// Decodes Intel HEX text into a fresh image. Only data records (type 0) are taken; the
// 16-bit load address is the image index. Other record types, start characters and checksums
// are not examined. Reading stops after the first byte stored at or past `flashSize`.
// Throws ConvertError (text "'0x<field>' is not a valid integer value") on a field that is
// not hexadecimal; nothing is returned then.
HexLoadResult decodeIntelHex(std::string_view text, std::int32_t flashSize);

// Reads the whole file and decodes it. Throws IoError when the file cannot be opened or read.
HexLoadResult loadIntelHexFile(const std::filesystem::path& file, std::int32_t flashSize);

} // namespace kw
