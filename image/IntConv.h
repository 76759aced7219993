#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kw {

// The one conversion from text to a number used across the tool: decimal (an optional
// leading '-'), or hexadecimal after a "0x"/"0X" or "$" prefix, digits in either case.
// Hexadecimal takes up to 32 bits (0xFFFFFFFF reads as -1); decimal must fit a signed 32-bit
// value. Anything else, the empty text included, is refused.
std::optional<std::int32_t> tryStrToInt(std::string_view text) noexcept;

// As tryStrToInt, but throws ConvertError("'<text>' is not a valid integer value").
std::int32_t strToInt(std::string_view text);

} // namespace kw
