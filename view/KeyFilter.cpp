#include "view/KeyFilter.h"

#include <string>

#include "image/IntConv.h"

namespace kw {

namespace {

bool isHexDigit(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

} // namespace

KeyVerdict filterGridKey(std::string_view cellText, char key) noexcept {
    if (cellText.size() >= 2)
        return (key == kKeyBackspace || key == kKeyEnter) ? KeyVerdict::Pass : KeyVerdict::Discard;
    if (key == kKeyBackspace || isHexDigit(key))
        return KeyVerdict::Pass;
    return KeyVerdict::DiscardWithAlert;
}

bool commitCellText(ImageBuffer* flash, std::int32_t flashSize, std::int64_t index,
                    std::string_view cellText) {
    std::string text = "0x";
    text.append(cellText);
    const std::int32_t value = strToInt(text);
    if (flash == nullptr || index < 0 || index >= flashSize)
        return false;
    return flash->write(index, static_cast<std::uint8_t>(value & 0xFF));
}

} // namespace kw
