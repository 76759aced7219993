#include "target/OptionBytes.h"

#include <cctype>
#include <charconv>

namespace kw {

namespace {

bool sameLetters(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::optional<unsigned> parseNumber(std::string_view text) noexcept {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

const OptionField* optionFieldNamed(std::string_view name) noexcept {
    for (const OptionField& field : kOptionFields)
        if (sameLetters(field.name, name))
            return &field;
    return nullptr;
}

BootArea bootArea(const OptionBytes& bytes, const Chip& chip) noexcept {
    const int chipPages = chip.flashSize / kUbcPageSize;
    BootArea area;
    area.pages = std::min<int>(bytes[1], chipPages);
    if (area.pages > 0) {
        area.first = chip.flashBase;
        area.last = chip.flashBase + static_cast<std::uint32_t>(area.pages * kUbcPageSize) - 1;
    }
    return area;
}

const char* hseCycles(std::uint8_t value) noexcept {
    switch (value) {
    case 0x00:
        return "2048";
    case 0xB4:
        return "128";
    case 0xD2:
        return "8";
    case 0xE1:
        return "0.5";
    default:
        return nullptr;
    }
}

std::optional<unsigned> parseOptionValue(const OptionField& field, std::string_view text,
                                         std::string& why) {
    // ROP is a whole byte, but on and off are what a user means by it.
    const bool rop = field.index == kRopIndex;
    std::optional<unsigned> value;
    if ((field.oneBit() || rop) && sameLetters(text, "on"))
        value = rop ? kRopProtected : 1u;
    else if ((field.oneBit() || rop) && sameLetters(text, "off"))
        value = 0;
    else
        value = parseNumber(text);
    const unsigned largest = (1u << field.width) - 1u;
    if (!value) {
        why = field.oneBit() ? "on, off, 1 or 0" : "a number, decimal or 0x-hex";
        return std::nullopt;
    }
    if (*value > largest) {
        why = "a value from 0 to " + std::to_string(largest);
        return std::nullopt;
    }
    if (field.name == "HSECNT" && hseCycles(static_cast<std::uint8_t>(*value)) == nullptr) {
        why = "0x00 (2048 HSE cycles), 0xB4 (128), 0xD2 (8) or 0xE1 (0.5)";
        return std::nullopt;
    }
    return value;
}

void setOptionField(OptionBytes& bytes, const OptionField& field, unsigned value) noexcept {
    auto& byte = bytes[static_cast<std::size_t>(field.index)];
    byte =
        static_cast<std::uint8_t>((byte & ~field.mask()) | ((value << field.shift) & field.mask()));
    if (field.index != kRopIndex)
        bytes[static_cast<std::size_t>(field.index) + 1] = static_cast<std::uint8_t>(~byte);
}

} // namespace kw
