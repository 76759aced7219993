#include "image/IntelHexLoader.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "image/FileReader.h"
#include "image/IntConv.h"

namespace kw {

namespace {

// Hexadecimal digit values; every other character maps to kNotHex. OR-ing the values of a
// run of characters and testing kNotHex tells whether all of them were digits.
constexpr std::uint8_t kNotHex = 0xF0;

constexpr std::array<std::uint8_t, 256> makeHexTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& v : table)
        v = kNotHex;
    for (int c = '0'; c <= '9'; ++c)
        table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c)
        table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'a' + 10);
    return table;
}

constexpr std::array<std::uint8_t, 256> kHex = makeHexTable();

// The value of a two-digit field indexed by its two characters (first << 8 | second), or
// kBadPair when either is not a digit: one lookup per data byte.
constexpr std::uint16_t kBadPair = 0x100;

constexpr std::array<std::uint16_t, 65536> makePairTable() {
    std::array<std::uint16_t, 65536> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        const unsigned hi = kHex[i >> 8], lo = kHex[i & 0xFF];
        table[i] = ((hi | lo) & kNotHex) ? kBadPair : static_cast<std::uint16_t>(hi << 4 | lo);
    }
    return table;
}

// Built on the first decode, not at compile time (64K steps exceed some compilers' constant
// evaluation limits) and not at process start (the tool need not pay for it until a load).
using PairTable = std::array<std::uint16_t, 65536>;
const PairTable& pairTable() {
    static const PairTable table = makePairTable();
    return table;
}

constexpr bool isLineBreak(char c) noexcept {
    return c == '\n' || c == '\r';
}

const char* findLineEnd(const char* p, const char* end) noexcept {
    while (p < end && !isLineBreak(*p))
        ++p;
    return p;
}

// Record layout, as 0-based offsets into a line: the start character is not examined.
constexpr std::size_t kCountAt = 1;
constexpr std::size_t kAddressAt = 3;
constexpr std::size_t kTypeAt = 7;
constexpr std::size_t kDataAt = 9;
constexpr std::size_t kMaxRecordBytes = 255;

class Decoder {
public:
    Decoder(ImageBuffer& image, std::int32_t flashSize) noexcept
        : pairs_(pairTable().data()), image_(image), flashSize_(flashSize),
          // Records that end at or below this index can neither be cut nor leave the buffer.
          fastLimit_(std::min<std::int64_t>(flashSize, static_cast<std::int64_t>(image.size()))) {}

    // Returns true when the image was cut.
    bool run(std::string_view text) {
        const char* p = text.data();
        const char* const end = p + text.size();
        for (;;) {
            // Empty lines are skipped, so a run of breaks of any kind just separates lines.
            while (p < end && isLineBreak(*p))
                ++p;
            if (p == end)
                return false;
            const char* next = nullptr;
            if (fastLine(p, end, next)) {
                p = next;
                continue;
            }
            const char* lineEnd = findLineEnd(p, end);
            if (slowLine(std::string_view(p, static_cast<std::size_t>(lineEnd - p))))
                return true;
            p = lineEnd;
        }
    }

private:
    // The value of two hex digits at p, or kBadPair.
    unsigned pair(const unsigned char* p) const noexcept {
        return pairs_[static_cast<std::size_t>(p[0]) << 8 | p[1]];
    }

    // The common case: positions 2 to 9 and all data fields are hex digits (so none of them
    // is a line break) and the record lies below the flash size. Returns false, having
    // changed nothing, for anything else; the line is then decoded by slowLine.
    bool fastLine(const char* s, const char* end, const char*& next) noexcept {
        const auto avail = static_cast<std::size_t>(end - s);
        if (avail < kDataAt)
            return false;
        const auto* u = reinterpret_cast<const unsigned char*>(s);
        const unsigned count = pair(u + kCountAt);
        const unsigned addressHigh = pair(u + kAddressAt), addressLow = pair(u + kAddressAt + 2);
        const unsigned type = pair(u + kTypeAt);
        if ((count | addressHigh | addressLow | type) & kBadPair)
            return false;
        if (type != 0 || count == 0) {
            next = findLineEnd(s + kDataAt, end);
            return true;
        }
        const auto address = static_cast<std::int64_t>(addressHigh << 8 | addressLow);
        if (avail < kDataAt + std::size_t{2} * count ||
            address + static_cast<std::int64_t>(count) > fastLimit_)
            return false;

        // Not zero-filled: only the first `count` bytes are written and read.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
        std::array<std::uint8_t, kMaxRecordBytes> bytes;
        const unsigned char* d = u + kDataAt;
        unsigned bad = 0;
        for (std::size_t k = 0; k < count; ++k, d += 2) {
            const unsigned value = pair(d);
            bad |= value;
            bytes[k] = static_cast<std::uint8_t>(value);
        }
        if (bad & kBadPair)
            return false;
        image_.copyIn(address, std::span<const std::uint8_t>(bytes.data(), count));
        next = findLineEnd(s + kDataAt + std::size_t{2} * count, end);
        return true;
    }

    // Every line in full detail, field by field in the loader's order. Returns true when the
    // image was cut.
    bool slowLine(std::string_view line) {
        if (convert(field(line, kTypeAt, 2)) != 0)
            return false;
        // Both are converted before the count is tested, so a bad address fails even here.
        const std::int32_t count = convert(field(line, kCountAt, 2));
        std::int64_t current = convert(field(line, kAddressAt, 4));
        if (count <= 0)
            return false;
        for (std::int32_t k = 0; k < count; ++k) {
            const std::int32_t value =
                convert(field(line, kDataAt + 2 * static_cast<std::size_t>(k), 2));
            const bool stored = image_.write(current, static_cast<std::uint8_t>(value & 0xFF));
            ++current;
            // A byte at or past the flash size is kept and ends the load; so does one the
            // buffer cannot hold, which a flash size beyond the buffer would otherwise drop.
            if (current > flashSize_ || !stored)
                return true;
        }
        return false;
    }

    // The characters at a field's offset, cut short where the line ends; empty when the line
    // ends before it.
    static std::string_view field(std::string_view line, std::size_t at, std::size_t width) {
        if (at >= line.size())
            return {};
        return line.substr(at, width);
    }

    // A field is read as the number "0x" + its text, through the tool's one conversion, so
    // the error text is the same as for any other number.
    static std::int32_t convert(std::string_view text) {
        std::array<char, 6> buffer{'0', 'x'};
        if (!text.empty())
            std::memcpy(buffer.data() + 2, text.data(), text.size());
        return strToInt(std::string_view(buffer.data(), text.size() + 2));
    }

    const std::uint16_t* const pairs_;
    ImageBuffer& image_;
    std::int32_t flashSize_;
    std::int64_t fastLimit_;
};

} // namespace

HexLoadResult decodeIntelHex(std::string_view text, std::int32_t flashSize) {
    HexLoadResult result;
    result.image = makeErasedImage(kHexImageLength, flashSize);
    result.cut = Decoder(*result.image, flashSize).run(text);
    return result;
}

HexLoadResult loadIntelHexFile(const std::filesystem::path& file, std::int32_t flashSize) {
    return decodeIntelHex(readWholeFile(file), flashSize);
}

} // namespace kw
