#pragma once

#include <cstdint>
#include <string>

namespace kw {

// Texts of one hex dump row, shared by the flash and EEPROM grids.
namespace hexdump {

inline constexpr int kColumnCount = 18; // address, 16 bytes, ASCII
inline constexpr int kBytesPerRow = 16;
inline constexpr int kAddressColumnWidth = 72;
inline constexpr int kByteColumnWidth = 24;
inline constexpr int kAsciiColumnWidth = 140;
inline constexpr int kInitialRowCount = 100;
inline constexpr const char* kAddressHeader = "Address";
inline constexpr const char* kAsciiHeader = "      ASCII";

inline constexpr char kHexDigits[] = "0123456789ABCDEF";

// Label of data row `row` (1-based): "0x" + (row-1) in at least three upper-case hex digits + "0H".
std::string rowLabel(int row);

inline void byteHex(std::uint8_t value, char out[2]) noexcept {
    out[0] = kHexDigits[value >> 4];
    out[1] = kHexDigits[value & 0x0F];
}

inline std::string byteHex(std::uint8_t value) {
    char text[2];
    byteHex(value, text);
    return std::string(text, 2);
}

// 0x21..0x7F stand for themselves; every other byte shows as '.'.
inline char asciiOf(std::uint8_t value) noexcept {
    return (value >= 0x21 && value <= 0x7F) ? static_cast<char>(value) : '.';
}

// Number of grid rows for an image of `size` bytes: a header row plus one per 16 bytes.
inline int rowCountFor(std::int32_t size) noexcept {
    return size / kBytesPerRow + 1;
}

// Buffer offset of a cell in grid coordinates (column, row), row 0 and column 0 being the
// fixed header row and address column.
inline std::int64_t bufferIndex(int column, int row) noexcept {
    return static_cast<std::int64_t>(row - 1) * kBytesPerRow + (column - 1);
}

} // namespace hexdump
} // namespace kw
