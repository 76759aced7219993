#include "image/BinaryLoader.h"

#include "image/FileReader.h"

namespace kw {

std::unique_ptr<ImageBuffer> loadBinaryImageFile(const std::filesystem::path& file,
                                                 std::int32_t size) {
    auto image = makeErasedImage(size, size);
    // The file goes straight into the fresh buffer, which carries its own length, so a file
    // longer than the image is never read past `size`. A failure throws before the image is
    // handed out.
    readFilePrefix(file, image->mutableBytes());
    return image;
}

} // namespace kw
