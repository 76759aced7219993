#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace kw {

// A memory image of the target chip. Its length is fixed when it is made and is the
// hard limit for every access: reads past the end yield nothing, writes are refused.
class ImageBuffer {
public:
    // Zero-filled. A negative length is taken as 0.
    explicit ImageBuffer(std::int64_t length);

    std::size_t size() const noexcept { return bytes_.size(); }

    // Sets the first `count` bytes to 0xFF (the erased value of flash). A count of zero or
    // less erases nothing; a count past the end erases up to the end.
    void erase(std::int64_t count) noexcept;

    std::optional<std::uint8_t> read(std::int64_t index) const noexcept;
    // Returns false, touching nothing, when the index lies outside the buffer.
    bool write(std::int64_t index, std::uint8_t value) noexcept;

    // Copies up to out.size() bytes starting at `offset` into `out` and fills the rest of
    // `out` with `fill`. Returns the number of bytes that came from the buffer.
    std::size_t copyOut(std::int64_t offset, std::span<std::uint8_t> out,
                        std::uint8_t fill) const noexcept;
    // Copies `in` to `offset`, cut at the end of the buffer. Returns bytes written.
    std::size_t copyIn(std::int64_t offset, std::span<const std::uint8_t> in) noexcept;

    std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }
    // Direct access for bulk fills by the loaders; the span carries the length.
    std::span<std::uint8_t> mutableBytes() noexcept { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

// A main-window field such as FlashBuf: holds no buffer until the first allocation,
// and every allocation replaces the buffer wholesale.
using ImageField = std::unique_ptr<ImageBuffer>;

// A fresh buffer of `length` bytes with its first `erased` bytes at 0xFF.
std::unique_ptr<ImageBuffer> makeErasedImage(std::int64_t length, std::int64_t erased);

} // namespace kw
