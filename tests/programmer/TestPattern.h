#pragma once

#include <cstdint>

namespace kw::testlib {

// The byte the test library's GetFlashData returns for an image position. No two of the
// 256 read-back blocks are alike, so a block stored at the wrong place shows.
constexpr std::uint8_t patternByte(std::int64_t position) {
    return static_cast<std::uint8_t>(position * 7 + position / 256 * 3 + 1);
}

} // namespace kw::testlib
