#include "image/IntelHexLoader.h"

#include <algorithm>
#include <array>
#include <cstdio>
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
// The longest well-formed record: its checksum follows the last data field.
constexpr std::size_t kLongestRecord = kLongestFieldEnd + 2;

// Record types the strict reading knows.
constexpr unsigned kDataRecord = 0x00;
constexpr unsigned kEndOfFileRecord = 0x01;
constexpr unsigned kSegmentAddressRecord = 0x02;
constexpr unsigned kStartSegmentRecord = 0x03;
constexpr unsigned kLinearAddressRecord = 0x04;
constexpr unsigned kStartLinearRecord = 0x05;

std::string hexText(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// A character of a malformed line as the error shows it: printable ones quoted, others as
// their code, since the text may reach a terminal.
std::string characterText(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F)
        return std::string("'") + c + "'";
    return "the byte " + hexText(u, 2);
}

// What the strict reading remembers of the 16-bit address space (and the 255 bytes a record
// may run past its end), to tell a byte given twice with different values.
class ByteOwners {
public:
    // The line that gave `address` its value, 0 when none did.
    std::size_t lineOf(std::uint32_t address) const { return lines_[address]; }
    bool defines(std::size_t address) const { return address < kSpan && lines_[address] != 0; }
    std::uint8_t valueOf(std::uint32_t address) const { return values_[address]; }
    void set(std::uint32_t address, std::uint8_t value, std::size_t line) {
        values_[address] = value;
        lines_[address] = line;
    }

private:
    static constexpr std::size_t kSpan = 0x10000 + kMaxRecordBytes;
    std::vector<std::size_t> lines_ = std::vector<std::size_t>(kSpan, 0);
    std::vector<std::uint8_t> values_ = std::vector<std::uint8_t>(kSpan, 0);
};

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
    Decoder(std::int32_t flashSize, HexChecks checks)
        : image_(makeErasedImage(kHexImageLength, flashSize)), flashSize_(flashSize),
          // The flash base is only a candidate when the flash fits below it.
          base_(flashSize <= static_cast<std::int64_t>(kHexFlashBase) ? kHexFlashBase : 0),
          // While undecided, the first data record takes the slow path, which notes its
          // first byte.
          fastLimit_(undecided() ? 0 : storeLimit()),
          // Read from 0, EEPROM and option bytes would lie in the flash.
          splitAreas_(undecided() && flashSize <= static_cast<std::int64_t>(kHexEepromBase)) {
        if (checks == HexChecks::Strict)
            owners_ = std::make_unique<ByteOwners>();
    }

    // Takes text that ends at a line break or at the end of the input. Returns false once
    // the outcome is settled and no more text is needed.
    bool feed(std::string_view text) {
        switch (state_) {
        case State::Decoding:
            if (owners_)
                decodeStrictly(text);
            else
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
        result.hasData = storedSlow_ || storedFast_;
        result.image = std::move(image_);
        result.eeprom = std::move(eeprom_);
        result.options = std::move(options_);
        if (owners_ && !result.cut) {
            // Area records lie below the flash base, so read from it they are never flash.
            result.defined.assign(result.image->size(), false);
            for (std::size_t i = 0; i < result.defined.size(); ++i)
                result.defined[i] = owners_->defines(result.base + i);
        }
        return result;
    }

    // The line being read is longer than any record and only its start was fed.
    void lineTooLong() {
        if (owners_ && state_ == State::Decoding)
            fail("longer than any record (" + std::to_string(kLongestRecord) + " characters)");
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
        storedFast_ = true;
        next = findLineEnd(s + kDataAt + std::size_t{2} * count, end);
        return true;
    }

    // As decode, with every line checked first and counted, so that errors name it.
    void decodeStrictly(std::string_view text) {
        const std::uint16_t* const pairs = pairTable().data();
        const char* p = text.data();
        const char* const end = p + text.size();
        while (p < end) {
            // A CR LF split between two pieces of text is still one line break.
            if (*p == '\n' || *p == '\r') {
                if (*p == '\r' || !afterCr_)
                    ++line_;
                afterCr_ = *p == '\r';
                ++p;
                continue;
            }
            afterCr_ = false;
            const char* const lineEnd = findLineEnd(p, end);
            checkRecord(std::string_view(p, static_cast<std::size_t>(lineEnd - p)));
            const char* next = nullptr;
            if (fastLine(pairs, p, lineEnd, next)) {
                p = next;
                continue;
            }
            p = decodeSlowly(p, end);
            if (p == nullptr)
                return;
        }
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw ConvertError("line " + std::to_string(line_) + ": " + what);
    }

    // Refuses a line that is not a whole, consistent record; the decoding that follows then
    // meets only well-formed fields.
    void checkRecord(std::string_view line) {
        if (endOfFileLine_ != 0)
            fail("a record after the end-of-file record of line " + std::to_string(endOfFileLine_));
        if (line[0] != ':')
            fail("does not start with ':' but with " + characterText(line[0]));
        for (std::size_t i = 1; i < line.size(); ++i)
            if (kHex[static_cast<unsigned char>(line[i])] & kNotHex)
                fail(characterText(line[i]) + " at column " + std::to_string(i + 1) +
                     " is not a hexadecimal digit");
        constexpr std::size_t kShortest = kDataAt + 2;
        if (line.size() < kShortest)
            fail("too short for a record: " + std::to_string(line.size()) +
                 " characters, at least " + std::to_string(kShortest));
        const auto* u = reinterpret_cast<const unsigned char*>(line.data());
        const std::uint16_t* const pairs = pairTable().data();
        const unsigned count = pairValue(pairs, u + kCountAt);
        const std::size_t expected = kShortest + 2 * std::size_t{count};
        if (line.size() != expected)
            fail("a record of " + std::to_string(count) + " bytes is " + std::to_string(expected) +
                 " characters long, this line " + std::to_string(line.size()));
        unsigned sum = 0;
        for (std::size_t i = kCountAt; i + 2 < line.size(); i += 2)
            sum += pairValue(pairs, u + i);
        const unsigned given = pairValue(pairs, u + line.size() - 2);
        const unsigned wanted = (0x100 - (sum & 0xFF)) & 0xFF;
        if (given != wanted)
            fail("checksum " + hexText(given, 2) + ", expected " + hexText(wanted, 2));

        const unsigned address =
            pairValue(pairs, u + kAddressAt) << 8 | pairValue(pairs, u + kAddressAt + 2);
        const unsigned type = pairValue(pairs, u + kTypeAt);
        switch (type) {
        case kDataRecord:
            checkOverlap(pairs, u + kDataAt, count, address);
            return;
        case kEndOfFileRecord:
            if (count != 0)
                fail("an end-of-file record with " + std::to_string(count) + " data bytes");
            endOfFileLine_ = line_;
            return;
        case kSegmentAddressRecord:
        case kLinearAddressRecord: {
            const char* name = type == kSegmentAddressRecord ? "an extended segment address"
                                                             : "an extended linear address";
            if (count != 2)
                fail(std::string(name) + " record of " + std::to_string(count) +
                     " bytes; it has 2");
            const unsigned value =
                pairValue(pairs, u + kDataAt) << 8 | pairValue(pairs, u + kDataAt + 2);
            if (value != 0) {
                const std::uint32_t from = type == kSegmentAddressRecord ? value << 4 : value << 16;
                fail(std::string(name) + " of " + hexText(value, 4) + " moves the data to " +
                     hexText(from, 5) + " and above, outside the chip's 16-bit address space");
            }
            return;
        }
        case kStartSegmentRecord:
        case kStartLinearRecord:
            return; // where a program starts; the chip's reset vector decides that
        default:
            fail("unknown record type " + hexText(type, 2));
        }
    }

    void checkOverlap(const std::uint16_t* pairs, const unsigned char* digits, unsigned count,
                      unsigned address) {
        for (unsigned k = 0; k < count; ++k) {
            const std::uint32_t at = address + k;
            const auto value = static_cast<std::uint8_t>(pairValue(pairs, digits + 2 * k));
            const std::size_t earlier = owners_->lineOf(at);
            if (earlier != 0 && owners_->valueOf(at) != value)
                fail("gives " + hexText(at, 4) + " the value " + hexText(value, 2) + ", line " +
                     std::to_string(earlier) + " gave it " + hexText(owners_->valueOf(at), 2));
            owners_->set(at, value, line_);
        }
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
            if (isAreaRecord(address, count))
                return storeAreaRecord(line, address, count);
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
            storedSlow_ = true;
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

    // While undecided: a record of EEPROM or option bytes, which leaves the base undecided.
    bool isAreaRecord(std::int64_t address, std::int64_t count) const noexcept {
        return splitAreas_ && undecided() && address >= static_cast<std::int64_t>(kHexEepromBase) &&
               address + count <= static_cast<std::int64_t>(kHexOptionEnd);
    }

    Line storeAreaRecord(std::string_view line, std::int32_t address, std::int32_t count) {
        for (std::int32_t k = 0; k < count; ++k) {
            const std::int32_t value =
                convert(field(line, kDataAt + 2 * static_cast<std::size_t>(k), 2));
            const auto byte = static_cast<std::uint8_t>(value & 0xFF);
            const auto at = static_cast<std::uint32_t>(address + k);
            (eeprom_.contains(at) ? eeprom_ : options_).set(at, byte);
            if (!firstByte_) {
                firstByte_ = StoredByte{at, byte};
                fastLimit_ = storeLimit();
            }
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
                *address < static_cast<std::int64_t>(base_) && !isAreaRecord(*address, *count)) {
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
        storedSlow_ = true;
        eeprom_.clear();
        options_.clear();
        base_ = 0;
    }

    std::unique_ptr<ImageBuffer> image_;
    const std::int32_t flashSize_;
    std::uint32_t base_; // kHexFlashBase while undecided, else 0
    std::int64_t fastLimit_;
    const bool splitAreas_;
    HexArea eeprom_{kHexEepromBase, kHexEepromEnd};
    HexArea options_{kHexOptionBase, kHexOptionEnd};
    bool storedSlow_ = false;
    State state_ = State::Decoding;
    std::optional<StoredByte> firstByte_; // the first byte stored, at its load address
    std::optional<std::string> pendingError_;
    bool storedFast_ = false;
    // Strict reading only: what is known of the bytes so far, the line being read and the
    // end-of-file record's line once one was met.
    std::unique_ptr<ByteOwners> owners_;
    std::size_t line_ = 1;
    bool afterCr_ = false;
    std::size_t endOfFileLine_ = 0;
};

} // namespace

HexArea::HexArea(std::uint32_t base, std::uint32_t end)
    : base_(base), end_(end), values_(end - base, 0xFF), defined_(end - base, false) {}

void HexArea::set(std::uint32_t address, std::uint8_t value) noexcept {
    if (!contains(address))
        return;
    const std::size_t i = address - base_;
    values_[i] = value;
    if (!defined_[i]) {
        defined_[i] = true;
        ++count_;
    }
}

void HexArea::clear() noexcept {
    std::fill(values_.begin(), values_.end(), std::uint8_t{0xFF});
    std::fill(defined_.begin(), defined_.end(), false);
    count_ = 0;
}

std::uint32_t HexArea::first() const noexcept {
    const auto at = std::find(defined_.begin(), defined_.end(), true);
    return base_ + static_cast<std::uint32_t>(at - defined_.begin());
}

std::uint32_t HexArea::last() const noexcept {
    const auto at = std::find(defined_.rbegin(), defined_.rend(), true);
    return end_ - 1 - static_cast<std::uint32_t>(at - defined_.rbegin());
}

bool HexArea::defined(std::uint32_t address) const noexcept {
    return contains(address) && defined_[address - base_];
}

std::uint8_t HexArea::value(std::uint32_t address) const noexcept {
    return contains(address) ? values_[address - base_] : std::uint8_t{0xFF};
}

HexLoadResult decodeIntelHex(std::string_view text, std::int32_t flashSize, HexChecks checks) {
    Decoder decoder(flashSize, checks);
    decoder.feed(text);
    return decoder.finish();
}

HexLoadResult loadIntelHexFile(const std::filesystem::path& file, std::int32_t flashSize,
                               HexChecks checks) {
    InputFile in(file);
    Decoder decoder(flashSize, checks);

    // Lines are decoded once their break has been read; the start of a line read so far
    // waits at the front of the buffer. Of a line longer than any record, only the part that
    // holds a record is kept, and the rest is dropped up to its break.
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    std::vector<char> buffer(kLongestRecord + kChunk);
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
        if (carried > kLongestRecord) {
            decoder.lineTooLong();
            carried = kLongestRecord;
            dropping = true;
        }
        if (got < kChunk)
            break;
    }
    decoder.feed(std::string_view(buffer.data(), carried));
    return decoder.finish();
}

} // namespace kw
