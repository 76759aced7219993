#pragma once

#include <cstdint>
#include <span>

namespace kw {

// The CRC-32 that zlib's crc32(), Python's zlib.crc32 and `gzip` compute (reflected polynomial
// 0xEDB88320, initial and final XOR 0xFFFFFFFF), so a technician can check an image with any
// of them. `previous` continues a sum over bytes that came before.
std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t previous = 0) noexcept;

} // namespace kw
