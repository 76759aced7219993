#pragma once

// Intel HEX text for the benchmarks: a deterministic 8 KB image written as 16-byte data
// records, repeated until the text reaches a requested size.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

inline void appendRecord(std::string& out, std::uint16_t address, std::uint8_t type,
                         const std::uint8_t* data, std::size_t count) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    auto put = [&out](std::uint8_t b) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xF]);
    };
    unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
    out.push_back(':');
    put(static_cast<std::uint8_t>(count));
    put(static_cast<std::uint8_t>(address >> 8));
    put(static_cast<std::uint8_t>(address & 0xFF));
    put(type);
    for (std::size_t i = 0; i < count; ++i) {
        put(data[i]);
        sum += data[i];
    }
    put(static_cast<std::uint8_t>(-sum & 0xFF));
    out += "\r\n";
}

// One pass over `image` as 16-byte records from address 0.
inline std::string imageRecords(const std::vector<std::uint8_t>& image) {
    std::string out;
    for (std::size_t at = 0; at < image.size(); at += 16)
        appendRecord(out, static_cast<std::uint16_t>(at), 0, image.data() + at,
                     std::min<std::size_t>(16, image.size() - at));
    return out;
}

// The records of an 8 KB image repeated to at least `bytes` characters, then an
// end-of-file record.
inline std::string makeHexText(std::size_t bytes) {
    const std::string pass = imageRecords(makeImage(8192));
    std::string out;
    out.reserve(bytes + pass.size() + 16);
    while (out.size() < bytes)
        out += pass;
    appendRecord(out, 0, 1, nullptr, 0);
    return out;
}

} // namespace kw::bench
