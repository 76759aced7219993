#include "image/IntConv.h"

#include "image/Errors.h"

namespace kw {

namespace {

int hexDigit(char c) noexcept {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string invalidIntegerMessage(std::string_view text) {
    std::string message = "'";
    message.append(text);
    message.append("' is not a valid integer value");
    return message;
}

} // namespace

std::optional<std::int32_t> tryStrToInt(std::string_view text) noexcept {
    std::string_view digits;
    bool hex = false;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        digits = text.substr(2);
        hex = true;
    } else if (!text.empty() && text[0] == '$') {
        digits = text.substr(1);
        hex = true;
    }
    if (hex) {
        if (digits.empty())
            return std::nullopt;
        std::uint64_t value = 0;
        for (char c : digits) {
            const int d = hexDigit(c);
            if (d < 0)
                return std::nullopt;
            value = value * 16 + static_cast<unsigned>(d);
            if (value > 0xFFFFFFFFull)
                return std::nullopt;
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }

    bool negative = false;
    digits = text;
    if (!digits.empty() && digits[0] == '-') {
        negative = true;
        digits.remove_prefix(1);
    }
    if (digits.empty())
        return std::nullopt;
    std::int64_t value = 0;
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit)
            return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

std::int32_t strToInt(std::string_view text) {
    if (auto value = tryStrToInt(text))
        return *value;
    throw ConvertError(invalidIntegerMessage(text));
}

} // namespace kw
