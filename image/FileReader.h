#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

namespace kw {

// An image file open for reading. Only regular files are read: the type is checked on the
// opened file itself, and the open does not wait, so a named pipe without a writer, an
// endless device such as /dev/zero, a socket or a folder is refused at once instead of
// blocking the caller or filling memory. Every failure throws IoError naming the file.
class InputFile {
public:
    explicit InputFile(const std::filesystem::path& file);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // The length the file had when it was opened.
    std::uint64_t length() const noexcept { return length_; }

    // Reads from the current position until `out` is full or the file ends; returns the
    // count read, short only at the end of the file.
    std::size_t read(std::span<char> out);

    // Throws the IoError for a file that ended after `got` of the `expected` bytes.
    [[noreturn]] void throwEndedEarly(std::uint64_t got, std::uint64_t expected) const;

private:
    std::filesystem::path path_;
    int fd_ = -1;
    std::uint64_t length_ = 0;
};

// Reads the first min(file length, out.size()) bytes of a file into `out` and returns how
// many that was; the rest of `out` is left alone, and nothing past out.size() is read.
// Throws IoError when the file cannot be opened, is not a regular file, or ends before the
// length it had when it was opened.
std::size_t readFilePrefix(const std::filesystem::path& file, std::span<std::uint8_t> out);

} // namespace kw
