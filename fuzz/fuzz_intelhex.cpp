// Intel HEX decoding of arbitrary text. The lowest bit of the first input byte picks the chip
// whose flash size the load uses; the rest is the file's text.
//
// The decoder is checked against a plain, slow reading of the same record rules: every
// outcome (image, cut flag, base, or the conversion error and its text) must match. The
// reading first settles the base over the whole text, then decodes once with it. EEPROM and
// option-byte records beside flash read from the base are compared apart.
//
// The strict reading only ever refuses: what it accepts it reads exactly as the lenient one.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "image/Errors.h"
#include "image/IntelHexLoader.h"
#include "target/Chip.h"

namespace {

struct Outcome {
    std::vector<std::uint8_t> image;
    bool cut = false;
    std::uint32_t base = 0;
    std::optional<std::string> error;
    // By address from kHexEepromBase to kHexOptionEnd; -1 where nothing was given.
    std::vector<int> areas = std::vector<int>(kw::kHexOptionEnd - kw::kHexEepromBase, -1);
};

// A record of EEPROM or option bytes, which is no flash record when the flash lies below them.
bool isAreaRecord(int address, int count, std::int32_t flashSize) {
    return flashSize <= static_cast<std::int32_t>(kw::kHexEepromBase) &&
           address >= static_cast<int>(kw::kHexEepromBase) &&
           address + count <= static_cast<int>(kw::kHexOptionEnd);
}

std::vector<int> areasOf(const kw::HexLoadResult& result) {
    std::vector<int> areas;
    for (std::uint32_t a = kw::kHexEepromBase; a < kw::kHexOptionEnd; ++a) {
        const kw::HexArea& area = result.eeprom.contains(a) ? result.eeprom : result.options;
        areas.push_back(area.defined(a) ? area.value(a) : -1);
    }
    return areas;
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int digitValue(char c) {
    if (c <= '9') {
        return c - '0';
    }
    return (c | 0x20) - 'a' + 10;
}

// The non-empty lines of a text; a line ends at CR LF, LF or a lone CR.
std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(pos, end - pos);
        pos = end;
        if (pos < text.size() && text[pos] == '\r') {
            ++pos;
        }
        if (pos < text.size() && text[pos] == '\n') {
            ++pos;
        }
        // The decoder skips blank lines instead of failing on their empty fields.
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

// 0-based offset of a field; cut short by the end of the line.
std::string_view fieldOf(std::string_view line, std::size_t at, std::size_t width) {
    return at >= line.size() ? std::string_view() : line.substr(at, width);
}

std::optional<int> valueOf(std::string_view f) {
    if (f.empty()) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : f) {
        if (!isHexDigit(c)) {
            return std::nullopt;
        }
        value = value * 16 + digitValue(c);
    }
    return value;
}

// The flash base when the text holds data records of a non-zero count and all of them lie
// at or above it, else 0. Records whose type, count or address do not convert do not count.
std::uint32_t baseOf(const std::vector<std::string_view>& lines, std::int32_t flashSize) {
    if (flashSize > static_cast<std::int32_t>(kw::kHexFlashBase)) {
        return 0;
    }
    bool data = false;
    for (std::string_view line : lines) {
        const auto type = valueOf(fieldOf(line, 7, 2));
        const auto count = valueOf(fieldOf(line, 1, 2));
        const auto address = valueOf(fieldOf(line, 3, 4));
        if (type == 0 && count && *count > 0 && address) {
            if (static_cast<std::uint32_t>(*address) < kw::kHexFlashBase &&
                !isAreaRecord(*address, *count, flashSize)) {
                return 0;
            }
            data = true;
        }
    }
    return data ? kw::kHexFlashBase : 0;
}

Outcome reference(std::string_view text, std::int32_t flashSize) {
    Outcome out;
    out.image.assign(static_cast<std::size_t>(kw::kHexImageLength), 0x00);
    std::fill_n(out.image.begin(), flashSize, std::uint8_t{0xFF});

    const std::vector<std::string_view> lines = linesOf(text);
    out.base = baseOf(lines, flashSize);
    for (std::string_view line : lines) {
        auto field = [&](std::size_t at, std::size_t width) { return fieldOf(line, at, width); };
        auto convert = [&](std::string_view f) -> std::optional<int> {
            const auto value = valueOf(f);
            if (!value) {
                out.error = "'0x" + std::string(f) + "' is not a valid integer value";
            }
            return value;
        };

        const auto type = convert(field(7, 2));
        if (!type) {
            return out;
        }
        if (*type != 0) {
            continue;
        }
        const auto count = convert(field(1, 2));
        if (!count) {
            return out;
        }
        const auto address = convert(field(3, 4));
        if (!address) {
            return out;
        }
        if (out.base != 0 && *count > 0 && isAreaRecord(*address, *count, flashSize)) {
            for (int k = 1; k <= *count; ++k) {
                const auto value = convert(field(2 * static_cast<std::size_t>(k) + 7, 2));
                if (!value) {
                    return out;
                }
                out.areas[static_cast<std::size_t>(*address + k - 1) - kw::kHexEepromBase] = *value;
            }
            continue;
        }
        std::int64_t current = *address - static_cast<std::int64_t>(out.base);
        for (int k = 1; k <= *count; ++k) {
            const auto value = convert(field(2 * static_cast<std::size_t>(k) + 7, 2));
            if (!value) {
                return out;
            }
            out.image[static_cast<std::size_t>(current)] = static_cast<std::uint8_t>(*value);
            ++current;
            if (current > flashSize) {
                out.cut = true;
                return out;
            }
        }
    }
    return out;
}

// `lenient` is the lenient reading's accepted outcome.
void checkStrictReading(std::string_view text, std::int32_t flashSize, const Outcome& lenient) {
    kw::HexLoadResult strict;
    try {
        strict = kw::decodeIntelHex(text, flashSize, kw::HexChecks::Strict);
    } catch (const kw::ConvertError& e) {
        if (std::strncmp(e.what(), "line ", 5) != 0) {
            kwfuzz::fail("a strict error does not name its line");
        }
        return;
    }
    const auto bytes = strict.image->bytes();
    if (strict.cut != lenient.cut || strict.base != lenient.base ||
        areasOf(strict) != lenient.areas ||
        !std::equal(bytes.begin(), bytes.end(), lenient.image.begin(), lenient.image.end())) {
        kwfuzz::fail("the strict reading accepted the text but read it differently");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::int32_t flashSize = kw::kChips[data[0] & 1]->flashSize;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    Outcome expected = reference(text, flashSize);
    Outcome actual;
    try {
        kw::HexLoadResult result = kw::decodeIntelHex(text, flashSize);
        if (!result.image) {
            kwfuzz::fail("no image returned");
        }
        const auto bytes = result.image->bytes();
        actual.image.assign(bytes.begin(), bytes.end());
        actual.cut = result.cut;
        actual.base = result.base;
        actual.areas = areasOf(result);
    } catch (const kw::ConvertError& e) {
        actual.error = e.what();
    }

    // what() is a C string: a field holding NUL shows only up to it.
    if (expected.error) {
        expected.error->resize(std::strlen(expected.error->c_str()));
    }
    if (expected.error != actual.error) {
        std::fprintf(stderr, "expected error: %s\nactual error:   %s\n",
                     expected.error.value_or("(none)").c_str(),
                     actual.error.value_or("(none)").c_str());
        kwfuzz::fail("conversion error differs");
    }
    if (expected.error) {
        return 0; // nothing is returned after a conversion error
    }
    if (actual.image.size() != static_cast<std::size_t>(kw::kHexImageLength)) {
        kwfuzz::fail("image is not 65536 bytes");
    }
    if (expected.cut != actual.cut) {
        kwfuzz::fail("cut flag differs");
    }
    if (expected.base != actual.base) {
        kwfuzz::fail("base differs");
    }
    if (expected.areas != actual.areas) {
        kwfuzz::fail("EEPROM or option bytes differ");
    }
    // Past the flash size the image stays zero, but for the one byte that cuts a load.
    const auto outside = std::count_if(actual.image.begin() + flashSize, actual.image.end(),
                                       [](std::uint8_t b) { return b != 0; });
    if (outside > (actual.cut ? 1 : 0)) {
        kwfuzz::fail("bytes past the flash size changed");
    }
    checkStrictReading(text, flashSize, actual);
    if (actual.image == expected.image) {
        return 0;
    }
    for (std::size_t i = 0; i < actual.image.size(); ++i) {
        if (expected.image[i] != actual.image[i]) {
            std::fprintf(stderr, "index %zu: expected %02X, got %02X\n", i, expected.image[i],
                         actual.image[i]);
            kwfuzz::fail("image differs");
        }
    }
    return 0;
}
