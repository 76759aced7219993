#pragma once

// Intel HEX text for the benchmarks: a deterministic 8 KB image written as 16-byte data
// records with CR LF breaks, repeated until the text reaches a requested size.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/IntelHexWriter.h"
#include "target/Chip.h"

namespace kw::bench {

inline std::vector<std::uint8_t> makeImage(std::size_t length) {
    std::vector<std::uint8_t> image(length);
    std::uint32_t state = 0x2545F491u;
    for (auto& b : image) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    return image;
}

inline const IntelHexFormat kBenchFormat = IntelHexFormat().withLineBreak("\r\n");

// One pass over `image` as 16-byte records from address 0, without an end-of-file record.
inline std::string imageRecords(const std::vector<std::uint8_t>& image) {
    IntelHexWriter writer(kBenchFormat);
    writer.add(image, 0);
    return writer.text();
}

// One pass over `image` and the end-of-file record.
inline std::string imageHexText(const std::vector<std::uint8_t>& image) {
    return toIntelHex(image, 0, kBenchFormat);
}

// Calls put(text) with the records of an 8 KB image, repeated to at least `bytes`
// characters, then the end-of-file record.
template <typename Put> void forEachHexPiece(std::size_t bytes, Put&& put) {
    const std::string pass = imageRecords(makeImage(kw::kLargestChip.flashSize));
    for (std::size_t written = 0; written < bytes; written += pass.size())
        put(pass);
    put(IntelHexWriter(kBenchFormat).finish());
}

inline std::string makeHexText(std::size_t bytes) {
    std::string out;
    out.reserve(bytes + std::size_t{32} * 1024);
    forEachHexPiece(bytes, [&out](const std::string& piece) { out += piece; });
    return out;
}

// The text of makeHexText(bytes), written to `file` piece by piece: a file far larger than
// memory can be made.
inline void writeHexFile(const std::string& file, std::size_t bytes) {
    std::ofstream out(file, std::ios::binary);
    forEachHexPiece(bytes, [&out](const std::string& piece) {
        out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    });
    if (!out.flush())
        throw std::runtime_error("cannot write " + file);
}

} // namespace kw::bench
