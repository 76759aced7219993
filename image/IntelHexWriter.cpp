#include "image/IntelHexWriter.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace kw {

namespace {

constexpr std::uint8_t kDataRecord = 0x00;
constexpr std::uint8_t kEndOfFileRecord = 0x01;
constexpr std::uint8_t kExtendedLinearAddressRecord = 0x04;
constexpr std::uint64_t kSegment = 0x10000;

} // namespace

IntelHexWriter::IntelHexWriter(const IntelHexFormat& format) : format_(format) {
    if (format_.recordLength < 1 || format_.recordLength > 255)
        throw std::invalid_argument("Intel HEX record length must be 1 to 255 bytes");
}

void IntelHexWriter::add(std::span<const std::uint8_t> bytes, std::uint32_t address) {
    if (address + std::uint64_t{bytes.size()} > std::uint64_t{1} << 32)
        throw std::invalid_argument("Intel HEX data reaches past the 32-bit address space");
    // Each data record takes about 2 characters per byte plus 11 plus a break.
    text_.reserve(text_.size() + bytes.size() * 2 +
                  (bytes.size() / format_.recordLength + 2) * (12 + format_.lineBreak.size()));
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::uint64_t recordAddress = address + std::uint64_t{at};
        const std::size_t toBoundary =
            static_cast<std::size_t>(kSegment - recordAddress % kSegment);
        const std::size_t count = std::min({format_.recordLength, bytes.size() - at, toBoundary});
        const auto data = bytes.subspan(at, count);
        at += count;
        if (format_.leaveOut &&
            std::all_of(data.begin(), data.end(),
                        [fill = *format_.leaveOut](std::uint8_t b) { return b == fill; }))
            continue;
        const auto upper = static_cast<std::uint32_t>(recordAddress >> 16);
        if (upper != upper_) {
            const std::array<std::uint8_t, 2> value{static_cast<std::uint8_t>(upper >> 8),
                                                    static_cast<std::uint8_t>(upper)};
            putRecord(0, kExtendedLinearAddressRecord, value);
            upper_ = upper;
        }
        putRecord(static_cast<std::uint32_t>(recordAddress & 0xFFFF), kDataRecord, data);
    }
}

std::string IntelHexWriter::finish() && {
    putRecord(0, kEndOfFileRecord, {});
    return std::move(text_);
}

void IntelHexWriter::putRecord(std::uint32_t address, std::uint8_t type,
                               std::span<const std::uint8_t> data) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    unsigned sum = 0;
    const auto put = [this, &sum](unsigned byte) {
        text_.push_back(kDigits[(byte >> 4) & 0xF]);
        text_.push_back(kDigits[byte & 0xF]);
        sum += byte;
    };
    text_.push_back(':');
    put(static_cast<unsigned>(data.size()));
    put((address >> 8) & 0xFF);
    put(address & 0xFF);
    put(type);
    for (std::uint8_t b : data)
        put(b);
    put((0x100 - (sum & 0xFF)) & 0xFF);
    text_.append(format_.lineBreak);
}

std::string toIntelHex(std::span<const std::uint8_t> bytes, std::uint32_t address,
                       const IntelHexFormat& format) {
    IntelHexWriter writer(format);
    writer.add(bytes, address);
    return std::move(writer).finish();
}

} // namespace kw
