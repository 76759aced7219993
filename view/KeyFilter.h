#pragma once

#include <cstdint>
#include <string_view>

#include "image/ImageBuffer.h"

namespace kw {

enum class KeyVerdict {
    Pass,             // the key goes on to the cell
    Discard,          // dropped without a sound
    DiscardWithAlert, // dropped with the alert beep
};

inline constexpr char kKeyBackspace = 8;
inline constexpr char kKeyEnter = 13;

// The flash grid's key filter: a cell holds at most one byte as two hex digits.
// `cellText` is the current cell's text before the key is applied.
KeyVerdict filterGridKey(std::string_view cellText, char key) noexcept;

// Stores the byte that `cellText` spells ("0x" + text read as an integer, low 8 bits kept)
// at `index`, but only inside the image: when `flash` holds a buffer and the index is below
// both `flashSize` and the buffer's length. Returns whether a byte was stored.
// Throws ConvertError when the text is not a hexadecimal number, before anything is stored.
bool commitCellText(ImageBuffer* flash, std::int32_t flashSize, std::int64_t index,
                    std::string_view cellText);

} // namespace kw
