#include "image/FileReader.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "image/Errors.h"

namespace kw {

namespace {

std::string quoted(const std::filesystem::path& file) {
    return "\"" + file.string() + "\"";
}

[[noreturn]] void throwIo(const char* what, const std::filesystem::path& file, int error) {
    throw IoError(std::string(what) + " " + quoted(file) + ": " +
                      std::generic_category().message(error != 0 ? error : EIO),
                  error == ENOENT ? IoError::Kind::Absent : IoError::Kind::Failed);
}

#ifdef _WIN32

using Stat = struct _stat64;
int openNoWait(const std::filesystem::path& file) {
    return ::_wopen(file.c_str(), _O_RDONLY | _O_BINARY);
}
int statOf(int fd, Stat& st) {
    return ::_fstat64(fd, &st);
}
bool isRegular(const Stat& st) {
    return (st.st_mode & _S_IFMT) == _S_IFREG;
}
const char* kindOf(const Stat& st) {
    return (st.st_mode & _S_IFMT) == _S_IFDIR ? "a folder" : "a device";
}
void closeFile(int fd) {
    ::_close(fd);
}
long readSome(int fd, char* out, std::size_t count) {
    return ::_read(fd, out, static_cast<unsigned>(std::min<std::size_t>(count, 1u << 30)));
}

#else

using Stat = struct stat;
int openNoWait(const std::filesystem::path& file) {
    // O_NONBLOCK lets the open of a named pipe return at once even when no one writes to it;
    // the type check follows on the descriptor, so the file cannot be swapped in between.
    return ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}
int statOf(int fd, Stat& st) {
    return ::fstat(fd, &st);
}
bool isRegular(const Stat& st) {
    return S_ISREG(st.st_mode);
}
const char* kindOf(const Stat& st) {
    if (S_ISDIR(st.st_mode))
        return "a folder";
    if (S_ISFIFO(st.st_mode))
        return "a named pipe";
    if (S_ISCHR(st.st_mode))
        return "a character device";
    if (S_ISBLK(st.st_mode))
        return "a block device";
    if (S_ISSOCK(st.st_mode))
        return "a socket";
    return "a special file";
}
void closeFile(int fd) {
    ::close(fd);
}
long readSome(int fd, char* out, std::size_t count) {
    return ::read(fd, out, count);
}

#endif

} // namespace

InputFile::InputFile(const std::filesystem::path& file) : path_(file) {
    errno = 0;
    fd_ = openNoWait(file);
    if (fd_ < 0)
        throwIo("Cannot open file", file, errno);
    Stat st{};
    if (statOf(fd_, st) != 0) {
        const int error = errno;
        closeFile(fd_);
        throwIo("Cannot open file", file, error);
    }
    if (!isRegular(st)) {
        const std::string kind = kindOf(st);
        closeFile(fd_);
        throw IoError("Cannot open file " + quoted(file) + ": it is " + kind +
                          ", not a regular file",
                      IoError::Kind::NotRegular);
    }
#ifndef _WIN32
    // Reads of a regular file do not depend on the flag, but nothing should inherit it.
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0)
        (void)::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
#endif
    length_ = static_cast<std::uint64_t>(st.st_size);
}

InputFile::~InputFile() {
    closeFile(fd_);
}

std::size_t InputFile::read(std::span<char> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        errno = 0;
        const long got = readSome(fd_, out.data() + done, out.size() - done);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throwIo("Cannot read file", path_, errno);
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void InputFile::throwEndedEarly(std::uint64_t got, std::uint64_t expected) const {
    throw IoError("Cannot read file " + quoted(path_) + ": the file ended after " +
                  std::to_string(got) + " of " + std::to_string(expected) + " bytes");
}

std::size_t readFilePrefix(const std::filesystem::path& file, std::span<std::uint8_t> out) {
    InputFile in(file);
    const std::size_t got = in.read({reinterpret_cast<char*>(out.data()), out.size()});
    const std::uint64_t expected = std::min<std::uint64_t>(in.length(), out.size());
    if (got < expected)
        in.throwEndedEarly(got, expected);
    return got;
}

} // namespace kw
