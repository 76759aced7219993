#include "image/IntelHexLoader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "image/Errors.h"
#include "image/FileReader.h"
#include "image/IntConv.h"

// The decoding loop is only fast with the common-case line decoder inlined into it.
#if defined(__GNUC__)
#define KW_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define KW_ALWAYS_INLINE inline
#endif

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
// No field of a line lies past this many characters: the count is two digits.
constexpr std::size_t kLongestFieldEnd = kDataAt + 2 * kMaxRecordBytes;

// The characters at a field's offset, cut short where the line ends; empty when the line
// ends before it.
std::string_view field(std::string_view line, std::size_t at, std::size_t width) {
    if (at >= line.size())
        return {};
    return line.substr(at, width);
}

// A field is read as the number "0x" + its text, through the tool's one conversion, so the
// error text is the same as for any other number. `buffer` holds the prefixed text.
std::string_view withHexPrefix(std::string_view text, std::array<char, 6>& buffer) {
    buffer = {'0', 'x'};
    if (!text.empty())
        std::memcpy(buffer.data() + 2, text.data(), text.size());
    return {buffer.data(), text.size() + 2};
}

// The value of a field of at most four characters, or nothing where it does not convert.
std::optional<std::int32_t> tryConvert(std::string_view text) noexcept {
    std::array<char, 6> buffer{};
    return tryStrToInt(withHexPrefix(text, buffer));
}

// As tryConvert, but a field that does not convert throws ConvertError.
std::int32_t convert(std::string_view text) {
    std::array<char, 6> buffer{};
    return strToInt(withHexPrefix(text, buffer));
}

// The value of the two hex digits at p, or kBadPair.
unsigned pairValue(const std::uint16_t* pairs, const unsigned char* p) noexcept {
    return pairs[static_cast<std::size_t>(p[0]) << 8 | p[1]];
}

// Decodes `count` two-digit fields at `digits` into `out`; false when one is not hexadecimal.
bool decodePairs(const std::uint16_t* pairs, const unsigned char* digits, std::size_t count,
                 std::uint8_t* out) noexcept {
    unsigned bad = 0;
    for (std::size_t k = 0; k < count; ++k, digits += 2) {
        const unsigned value = pairValue(pairs, digits);
        bad |= value;
        out[k] = static_cast<std::uint8_t>(value);
    }
    return (bad & kBadPair) == 0;
}

// Decodes lines as they come. While every data record so far lies at or above the flash
// base, the text is read relative to that base ("undecided"); the first data record below
// it settles on base 0, under which the whole text reads as if no base had ever been
// considered. A cut or a conversion error met while undecided is only final once the rest
// of the text holds no data record below the base, so the rest is then scanned for one.
class Decoder {
public:
    explicit Decoder(std::int32_t flashSize)
        : image_(makeErasedImage(kHexImageLength, flashSize)), flashSize_(flashSize),
          // The flash base is only a candidate when the flash fits below it.
          base_(flashSize <= static_cast<std::int64_t>(kHexFlashBase) ? kHexFlashBase : 0),
          // While undecided, the first data record takes the slow path, which notes its
          // first byte.
          fastLimit_(undecided() ? 0 : storeLimit()) {}

    // Takes text that ends at a line break or at the end of the input. Returns false once
    // the outcome is settled and no more text is needed.
    bool feed(std::string_view text) {
        switch (state_) {
        case State::Decoding:
            decode(text);
            return state_ != State::Settled;
        case State::Scanning:
            scan(text);
            return state_ != State::Settled;
        case State::Settled:
            break;
        }
        return false;
    }

    // The outcome once all text has been fed (or feed returned false).
    HexLoadResult finish() {
        if (state_ == State::Scanning && pendingError_)
            throw ConvertError(*pendingError_);
        HexLoadResult result;
        // Decoding only ends early at a cut: a pending error has been thrown above.
        result.cut = state_ != State::Decoding;
        result.base = firstByte_ ? base_ : 0;
        result.image = std::move(image_);
        return result;
    }

private:
    // Decoding: no cut so far. Scanning: cut, or failed (pendingError_), while undecided, and
    // looking for a data record below the base. Settled: cut, with nothing more to read.
    enum class State { Decoding, Scanning, Settled };
    enum class Line { Next, Cut, Settled };

    struct StoredByte {
        std::int64_t address;
        std::uint8_t value;
    };

    // Reading relative to the flash base, with no data record below it met so far.
    bool undecided() const noexcept { return base_ != 0; }

    std::int64_t storeLimit() const noexcept {
        // Records that end at or below this index can neither be cut nor leave the buffer.
        return std::max<std::int64_t>(
            0, std::min<std::int64_t>(flashSize_, static_cast<std::int64_t>(image_->size())));
    }

    void decode(std::string_view text) {
        // Read here, not from a member, so the compiler sees that the table cannot alias the
        // bytes being decoded and vectorises the data loop.
        const std::uint16_t* const pairs = pairTable().data();
        const char* p = text.data();
        const char* const end = p + text.size();
        for (;;) {
            // Empty lines are skipped, so a run of breaks of any kind just separates lines.
            while (p < end && isLineBreak(*p))
                ++p;
            if (p == end)
                return;
            const char* next = nullptr;
            if (fastLine(pairs, p, end, next)) {
                p = next;
                continue;
            }
            p = decodeSlowly(p, end);
            if (p == nullptr)
                return;
        }
    }

    // Decodes the line at p by slowLine and acts on its outcome. Returns where the next line
    // starts, or nullptr when decoding has ended: settled, or handed to the scan.
    const char* decodeSlowly(const char* p, const char* end) {
        const char* lineEnd = findLineEnd(p, end);
        const std::string_view line(p, static_cast<std::size_t>(lineEnd - p));
        Line outcome = Line::Next;
        try {
            outcome = slowLine(line);
        } catch (const ConvertError& e) {
            // Before the first stored byte the base makes no difference to an error.
            if (!undecided() || !firstByte_)
                throw;
            pendingError_ = e.what();
            outcome = Line::Cut;
        }
        switch (outcome) {
        case Line::Next:
            return lineEnd;
        case Line::Settled:
            state_ = State::Settled;
            return nullptr;
        case Line::Cut:
            if (!undecided()) {
                state_ = State::Settled;
                return nullptr;
            }
            state_ = State::Scanning;
            scan(std::string_view(lineEnd, static_cast<std::size_t>(end - lineEnd)));
            return nullptr;
        }
        return nullptr;
    }

    // The common case: positions 2 to 9 and all data fields are hex digits (so none of them
    // is a line break) and the record lies inside the flash from the base on. Returns false,
    // having changed nothing, for anything else; the line is then decoded by slowLine.
    KW_ALWAYS_INLINE bool fastLine(const std::uint16_t* pairs, const char* s, const char* end,
                                   const char*& next) noexcept {
        const auto avail = static_cast<std::size_t>(end - s);
        if (avail < kDataAt)
            return false;
        const auto* u = reinterpret_cast<const unsigned char*>(s);
        const unsigned count = pairValue(pairs, u + kCountAt);
        const unsigned addressHigh = pairValue(pairs, u + kAddressAt);
        const unsigned addressLow = pairValue(pairs, u + kAddressAt + 2);
        const unsigned type = pairValue(pairs, u + kTypeAt);
        if ((count | addressHigh | addressLow | type) & kBadPair)
            return false;
        if (type != 0 || count == 0) {
            next = findLineEnd(s + kDataAt, end);
            return true;
        }
        // Below the base this wraps to a huge value and takes the slow path.
        const std::uint64_t index = static_cast<std::uint64_t>(addressHigh << 8 | addressLow) -
                                    static_cast<std::uint64_t>(base_);
        if (avail < kDataAt + std::size_t{2} * count ||
            index + count > static_cast<std::uint64_t>(fastLimit_))
            return false;

        // Not zero-filled: only the first `count` bytes are written and read.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
        std::array<std::uint8_t, kMaxRecordBytes> bytes;
        if (!decodePairs(pairs, u + kDataAt, count, bytes.data()))
            return false;
        image_->copyIn(static_cast<std::int64_t>(index),
                       std::span<const std::uint8_t>(bytes.data(), count));
        next = findLineEnd(s + kDataAt + std::size_t{2} * count, end);
        return true;
    }

    // Every line in full detail, field by field in the loader's order.
    Line slowLine(std::string_view line) {
        if (convert(field(line, kTypeAt, 2)) != 0)
            return Line::Next;
        // Both are converted before the count is tested, so a bad address fails even here.
        const std::int32_t count = convert(field(line, kCountAt, 2));
        const std::int32_t address = convert(field(line, kAddressAt, 4));
        if (count <= 0)
            return Line::Next;
        if (address < static_cast<std::int64_t>(base_)) {
            if (firstByte_) {
                settleOnBaseZero();
                return Line::Settled;
            }
            base_ = 0;
            fastLimit_ = storeLimit();
        }
        std::int64_t current = address - static_cast<std::int64_t>(base_);
        for (std::int32_t k = 0; k < count; ++k) {
            const std::int32_t value =
                convert(field(line, kDataAt + 2 * static_cast<std::size_t>(k), 2));
            const auto byte = static_cast<std::uint8_t>(value & 0xFF);
            const bool stored = image_->write(current, byte);
            if (!firstByte_) {
                firstByte_ = StoredByte{address, byte};
                fastLimit_ = storeLimit();
            }
            ++current;
            // A byte at or past the flash size is kept and ends the load; so does one the
            // buffer cannot hold, which a flash size beyond the buffer would otherwise drop.
            if (current > flashSize_ || !stored)
                return Line::Cut;
        }
        return Line::Next;
    }

    // After a cut or an error while undecided: looks for a data record below the base.
    void scan(std::string_view text) {
        const char* const end = text.data() + text.size();
        for (const char* p = text.data(); p < end;) {
            const char* lineEnd = findLineEnd(p, end);
            const std::string_view line(p, static_cast<std::size_t>(lineEnd - p));
            const auto type = tryConvert(field(line, kTypeAt, 2));
            const auto count = tryConvert(field(line, kCountAt, 2));
            const auto address = tryConvert(field(line, kAddressAt, 4));
            if (type && *type == 0 && count && *count > 0 && address &&
                *address < static_cast<std::int64_t>(base_)) {
                settleOnBaseZero();
                state_ = State::Settled;
                return;
            }
            p = lineEnd < end ? lineEnd + 1 : end;
        }
    }

    // The text holds a data record below the base, so it reads from base 0, and the first
    // data record, at or above the base and so at or above the flash size, cuts the load at
    // its first byte.
    void settleOnBaseZero() {
        image_ = makeErasedImage(kHexImageLength, flashSize_);
        image_->write(firstByte_->address, firstByte_->value);
        base_ = 0;
    }

    std::unique_ptr<ImageBuffer> image_;
    const std::int32_t flashSize_;
    std::uint32_t base_; // kHexFlashBase while undecided, else 0
    std::int64_t fastLimit_;
    State state_ = State::Decoding;
    std::optional<StoredByte> firstByte_; // the first byte stored, at its load address
    std::optional<std::string> pendingError_;
};

} // namespace

HexLoadResult decodeIntelHex(std::string_view text, std::int32_t flashSize) {
    Decoder decoder(flashSize);
    decoder.feed(text);
    return decoder.finish();
}

HexLoadResult loadIntelHexFile(const std::filesystem::path& file, std::int32_t flashSize) {
    InputFile in(file);
    Decoder decoder(flashSize);

    // Lines are decoded once their break has been read; the start of a line read so far
    // waits at the front of the buffer. Of a line longer than any record, only the part that
    // holds fields is kept, and the rest is dropped up to its break.
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    std::vector<char> buffer(kLongestFieldEnd + kChunk);
    std::size_t carried = 0;
    bool dropping = false;
    for (;;) {
        char* const begin = buffer.data() + carried;
        const std::size_t got = in.read({begin, kChunk});
        if (got == 0)
            break;
        const char* end = begin + got;
        if (dropping) {
            const char* lineBreak = findLineEnd(begin, end);
            if (lineBreak == end)
                continue;
            end = std::copy(lineBreak, end, begin);
            dropping = false;
        }
        const char* tail = end;
        while (tail > begin && !isLineBreak(tail[-1]))
            --tail;
        if (tail > begin) {
            const std::string_view lines(buffer.data(),
                                         static_cast<std::size_t>(tail - buffer.data()));
            if (!decoder.feed(lines))
                return decoder.finish();
            carried = static_cast<std::size_t>(std::copy(tail, end, buffer.data()) - buffer.data());
        } else {
            carried = static_cast<std::size_t>(end - buffer.data());
        }
        if (carried > kLongestFieldEnd) {
            carried = kLongestFieldEnd;
            dropping = true;
        }
        if (got < kChunk)
            break;
    }
    decoder.feed(std::string_view(buffer.data(), carried));
    return decoder.finish();
}

} // namespace kw
