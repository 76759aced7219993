#include "image/ImageBuffer.h"

#include <algorithm>
#include <cstring>

namespace kw {

ImageBuffer::ImageBuffer(std::int64_t length)
    : bytes_(static_cast<std::size_t>(std::max<std::int64_t>(length, 0)), 0) {}

void ImageBuffer::erase(std::int64_t count) noexcept {
    if (count <= 0)
        return;
    const auto n = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), bytes_.size());
    std::memset(bytes_.data(), 0xFF, n);
}

std::optional<std::uint8_t> ImageBuffer::read(std::int64_t index) const noexcept {
    if (index < 0 || static_cast<std::uint64_t>(index) >= bytes_.size())
        return std::nullopt;
    return bytes_[static_cast<std::size_t>(index)];
}

bool ImageBuffer::write(std::int64_t index, std::uint8_t value) noexcept {
    if (index < 0 || static_cast<std::uint64_t>(index) >= bytes_.size())
        return false;
    bytes_[static_cast<std::size_t>(index)] = value;
    return true;
}

std::size_t ImageBuffer::copyOut(std::int64_t offset, std::span<std::uint8_t> out,
                                 std::uint8_t fill) const noexcept {
    std::size_t available = 0;
    if (offset >= 0 && static_cast<std::uint64_t>(offset) < bytes_.size())
        available = std::min(out.size(), bytes_.size() - static_cast<std::size_t>(offset));
    if (available > 0)
        std::memcpy(out.data(), bytes_.data() + offset, available);
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(available), out.end(), fill);
    return available;
}

std::size_t ImageBuffer::copyIn(std::int64_t offset, std::span<const std::uint8_t> in) noexcept {
    if (offset < 0 || static_cast<std::uint64_t>(offset) >= bytes_.size())
        return 0;
    const std::size_t n = std::min(in.size(), bytes_.size() - static_cast<std::size_t>(offset));
    if (n > 0)
        std::memcpy(bytes_.data() + offset, in.data(), n);
    return n;
}

std::unique_ptr<ImageBuffer> makeErasedImage(std::int64_t length, std::int64_t erased) {
    auto image = std::make_unique<ImageBuffer>(length);
    image->erase(erased);
    return image;
}

} // namespace kw
