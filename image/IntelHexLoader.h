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
// are not examined, and an end-of-file record does not end the reading.
//
// Lines end at CR LF, LF or a lone CR; empty lines are skipped. Fields are read by character
// position: count 2-3, address 4-7, type 8-9, data byte k at 2k+8..2k+9 (1-based). A field
// that the line end cuts short is read from the characters present; one wholly past the line
// end, or holding a non-hexadecimal character, throws ConvertError with the text
// "'0x<field>' is not a valid integer value"; nothing is returned then.
//
// Reading stops after the first byte stored at or past `flashSize` (cut = true); that byte
// stays in the image. A byte the 65536-byte buffer cannot hold is never stored and also cuts.
HexLoadResult decodeIntelHex(std::string_view text, std::int32_t flashSize);

// Reads the whole file and decodes it. Throws IoError when the file cannot be opened or read.
HexLoadResult loadIntelHexFile(const std::filesystem::path& file, std::int32_t flashSize);

} // namespace kw
