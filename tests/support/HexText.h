#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Intel HEX records for tests, with correct checksums. This is written apart from the
// tool's own writer on purpose: the tests of the loader must not rest on the code that the
// tool uses to write the same format.
inline std::string hexLine(unsigned address, const std::vector<std::uint8_t>& data,
                           unsigned type = 0) {
    static const char digits[] = "0123456789ABCDEF";
    std::string line = ":";
    unsigned sum = 0;
    const auto put = [&](unsigned byte) {
        line += digits[(byte >> 4) & 0xF];
        line += digits[byte & 0xF];
        sum += byte;
    };
    put(static_cast<unsigned>(data.size()));
    put((address >> 8) & 0xFF);
    put(address & 0xFF);
    put(type);
    for (std::uint8_t byte : data)
        put(byte);
    put((0x100 - (sum & 0xFF)) & 0xFF);
    return line;
}

// One record and its line break.
inline std::string hexRecord(unsigned address, const std::vector<std::uint8_t>& data,
                             unsigned type = 0) {
    return hexLine(address, data, type) + "\n";
}

inline std::string hexEndOfFile() {
    return ":00000001FF\n";
}

// An image of `length` bytes as 16-byte records in ascending order from `start`, byte at
// address a = (a * 7 + 3), then the end-of-file record.
inline std::string hexImage(unsigned length, unsigned start = 0) {
    std::string text;
    for (unsigned address = start; address < start + length; address += 16) {
        std::vector<std::uint8_t> data;
        for (unsigned i = 0; i < 16; ++i)
            data.push_back(static_cast<std::uint8_t>((address + i) * 7 + 3));
        text += hexRecord(address, data);
    }
    return text + hexEndOfFile();
}

inline std::uint8_t hexImageByte(unsigned address) {
    return static_cast<std::uint8_t>(address * 7 + 3);
}
