#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace kw {

// The whole content of a file, read as bytes. Throws IoError naming the file and the
// system's reason when it cannot be opened or read, or when it ends before the length it
// had when it was opened.
std::string readWholeFile(const std::filesystem::path& file);

// Reads the first min(file length, out.size()) bytes of a file into `out` and returns how
// many that was; the rest of `out` is left alone, and nothing past out.size() is read.
// Throws IoError as readWholeFile does.
std::size_t readFilePrefix(const std::filesystem::path& file, std::span<std::uint8_t> out);

} // namespace kw
