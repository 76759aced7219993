#include "image/FileReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>

#include "image/Errors.h"

namespace kw {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

std::string quoted(const std::filesystem::path& file) {
    return "\"" + file.string() + "\"";
}

[[noreturn]] void throwIo(const char* what, const std::filesystem::path& file, int error) {
    throw IoError(std::string(what) + " " + quoted(file) + ": " +
                  std::generic_category().message(error));
}

FileHandle openForReading(const std::filesystem::path& file) {
    errno = 0;
    FileHandle handle(std::fopen(file.c_str(), "rb"));
    if (!handle)
        throwIo("Cannot open file", file, errno != 0 ? errno : EIO);
    return handle;
}

// The length of a regular file, or nothing for anything whose length says nothing about
// its content (pipes, devices, /proc files, directories).
std::optional<std::uintmax_t> regularFileLength(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        return std::nullopt;
    const auto length = std::filesystem::file_size(file, ec);
    if (ec)
        return std::nullopt;
    return length;
}

// Fills `out` from the current position; returns the count read, short only at the end of
// the file. A read error throws.
std::size_t readInto(std::FILE* f, const std::filesystem::path& file, char* out,
                     std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        errno = 0;
        const std::size_t got = std::fread(out + done, 1, count - done, f);
        done += got;
        if (got == 0) {
            if (std::ferror(f))
                throwIo("Cannot read file", file, errno != 0 ? errno : EIO);
            break;
        }
    }
    return done;
}

[[noreturn]] void throwEndedEarly(const std::filesystem::path& file, std::uintmax_t got,
                                  std::uintmax_t expected) {
    throw IoError("Cannot read file " + quoted(file) + ": the file ended after " +
                  std::to_string(got) + " of " + std::to_string(expected) + " bytes");
}

} // namespace

std::string readWholeFile(const std::filesystem::path& file) {
    FileHandle f = openForReading(file);
    const auto length = regularFileLength(file);

    std::string content;
    std::size_t total = 0;
    if (length) {
        content.resize(static_cast<std::size_t>(*length));
        total = readInto(f.get(), file, content.data(), content.size());
        if (total < content.size())
            throwEndedEarly(file, total, *length);
        errno = 0;
        const int next = std::fgetc(f.get());
        if (next == EOF) {
            if (std::ferror(f.get()))
                throwIo("Cannot read file", file, errno != 0 ? errno : EIO);
            return content;
        }
        content.push_back(static_cast<char>(next));
        ++total;
    }
    // Whatever follows: special files with no length, or a file that grew meanwhile.
    constexpr std::size_t kChunk = std::size_t{64} * 1024;
    for (;;) {
        content.resize(total + kChunk);
        const std::size_t got = readInto(f.get(), file, content.data() + total, kChunk);
        total += got;
        if (got < kChunk)
            break;
    }
    content.resize(total);
    return content;
}

std::size_t readFilePrefix(const std::filesystem::path& file, std::span<std::uint8_t> out) {
    FileHandle f = openForReading(file);
    const auto length = regularFileLength(file);
    const std::size_t got =
        readInto(f.get(), file, reinterpret_cast<char*>(out.data()), out.size());
    if (length && got < out.size() && got < *length)
        throwEndedEarly(file, got, std::min<std::uintmax_t>(*length, out.size()));
    return got;
}

} // namespace kw
