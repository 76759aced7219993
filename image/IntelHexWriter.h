#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kw {

struct IntelHexFormat {
    std::size_t recordLength = 16; // data bytes per record, 1 to 255
    std::string lineBreak = "\n";
    // Records made only of this byte (erased flash, say) are left out.
    std::optional<std::uint8_t> leaveOut;

    IntelHexFormat withRecordLength(std::size_t length) const {
        IntelHexFormat format = *this;
        format.recordLength = length;
        return format;
    }
    IntelHexFormat withLineBreak(std::string_view lineBreak) const {
        IntelHexFormat format = *this;
        format.lineBreak = lineBreak;
        return format;
    }
    IntelHexFormat leavingOut(std::uint8_t fill) const {
        IntelHexFormat format = *this;
        format.leaveOut = fill;
        return format;
    }
};

// Writes Intel HEX text: data records with upper-case digits and checksums, an extended
// linear address record (type 04) before the first record whose upper 16 address bits differ
// from those in force (0 at the start), and the end-of-file record at the end.
class IntelHexWriter {
public:
    // Throws std::invalid_argument for a record length outside 1 to 255.
    explicit IntelHexWriter(const IntelHexFormat& format = {});

    // Adds `bytes` placed at `address`, as consecutive records from its first byte; a record
    // never crosses a 64 KiB boundary. Throws std::invalid_argument when the bytes would
    // reach past the 32-bit address space.
    void add(std::span<const std::uint8_t> bytes, std::uint32_t address);

    // The records added so far, without the end-of-file record.
    const std::string& text() const noexcept { return text_; }

    // The whole text: the records and the end-of-file record.
    std::string finish() &&;

private:
    void putRecord(std::uint32_t address, std::uint8_t type, std::span<const std::uint8_t> data);

    IntelHexFormat format_;
    std::string text_;
    std::uint32_t upper_ = 0;
};

// The Intel HEX text of `bytes` placed at `address`, ending with the end-of-file record.
std::string toIntelHex(std::span<const std::uint8_t> bytes, std::uint32_t address,
                       const IntelHexFormat& format = {});

} // namespace kw
