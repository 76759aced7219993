#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "image/ImageBuffer.h"

namespace kw {

// A fresh image of `size` bytes, erased to 0xFF, holding the first min(file length, size)
// bytes of the raw image file. Throws IoError when the file cannot be opened, is not a regular
// file or ends early; nothing is returned then.
std::unique_ptr<ImageBuffer> loadBinaryImageFile(const std::filesystem::path& file,
                                                 std::int32_t size);

} // namespace kw
