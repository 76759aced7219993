#include "settings/ProfileWriter.h"
#include "settings/ProfileSyntax.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace kw {
namespace {

using namespace profile;

#ifdef _WIN32
constexpr std::string_view kPlatformBreak = "\r\n";
#else
constexpr std::string_view kPlatformBreak = "\n";
#endif

bool hasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// Names that would change the file's structure, or read back differently than written, are
// refused rather than written: a line break would inject lines, '=' in a key would split it,
// a leading '[' or ';' turns the line into a header or a comment for other readers, and
// blanks at the ends would be trimmed away when matching.
bool validSection(std::string_view s) {
    return !s.empty() && trim(s) == s && !hasLineBreak(s) &&
           s.find_first_of(std::string_view("]\0", 2)) == std::string_view::npos;
}

bool validKey(std::string_view k) {
    return !k.empty() && trim(k) == k && !hasLineBreak(k) && k.front() != '[' && k.front() != ';' &&
           k.find_first_of(std::string_view("=\0", 2)) == std::string_view::npos;
}

bool validValue(std::string_view v) {
    return !hasLineBreak(v);
}

// The new file text: the one key line replaced or added, every other byte as it was.
std::string editProfile(std::string_view content, std::string_view section, std::string_view key,
                        std::string_view value) {
    const std::vector<Line> lines = splitLines(content);

    // New lines follow the file's own break style; an empty file takes the platform's.
    std::string_view lineBreak = kPlatformBreak;
    for (const Line& line : lines) {
        if (line.breakLength != 0) {
            lineBreak = content.substr(line.begin + line.textLength, line.breakLength);
            break;
        }
    }
    // A file whose last line has no break keeps ending that way.
    const bool endsOpen = !lines.empty() && lines.back().breakLength == 0;

    std::string keyLine;
    keyLine.reserve(key.size() + 1 + value.size());
    keyLine.append(key).append("=").append(value);

    std::string out;
    out.reserve(content.size() + keyLine.size() + section.size() + 8);

    const KeyPlace place = findKey(content, lines, section, key);
    if (!place.header) {
        out.append(content);
        if (endsOpen) {
            out.append(lineBreak);
        }
        out.append("[").append(section).append("]").append(lineBreak).append(keyLine);
        if (!endsOpen) {
            out.append(lineBreak);
        }
        return out;
    }

    if (place.key) {
        const Line& line = lines[*place.key];
        out.append(content.substr(0, line.begin)).append(keyLine);
        out.append(content.substr(line.begin + line.textLength));
        return out;
    }

    // A new key goes after the section's last non-blank line, so blank lines that separate
    // it from the next section stay where they are.
    const Line& after = lines[place.lastContent];
    if (after.breakLength == 0) {
        out.append(content).append(lineBreak).append(keyLine);
    } else {
        out.append(content.substr(0, after.end())).append(keyLine).append(lineBreak);
        out.append(content.substr(after.end()));
    }
    return out;
}

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }

private:
    int fd_;
};

struct Existing {
    bool present = false;
    struct stat info {};
    std::string content;
};

// False when the file exists but cannot be read; an absent file is not a failure.
bool readExisting(const std::filesystem::path& file, Existing& existing) {
    Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return errno == ENOENT;
    }
    if (::fstat(fd.get(), &existing.info) != 0 || !S_ISREG(existing.info.st_mode)) {
        return false;
    }
    existing.present = true;
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        existing.content.append(chunk, static_cast<std::size_t>(n));
    }
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Removes the temporary file unless it has been renamed into place.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        close();
        if (!path_.empty() && !committed_) {
            ::unlink(path_.c_str());
        }
    }

    // Creates a new file with a unique name in `dir`. The mode passes through the umask, so a
    // new settings file gets the permissions any other new file of the user would get.
    bool create(const std::filesystem::path& dir, const std::filesystem::path& name) {
        static std::atomic<unsigned> counter{0};
        std::random_device random;
        for (int attempt = 0; attempt < 16; ++attempt) {
            // Built by appending: GCC 12 at -O3 misreports `"." + std::string` (-Wrestrict).
            std::string unique(1, '.');
            unique.append(name.string())
                .append(".tmp-")
                .append(std::to_string(::getpid()))
                .append("-")
                .append(std::to_string(counter.fetch_add(1)))
                .append("-")
                .append(std::to_string(random()));
            std::filesystem::path candidate = dir / unique;
            const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                fd_ = fd;
                path_ = std::move(candidate);
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    }

    int fd() const noexcept { return fd_; }
    // Reports whether the close succeeded: it can be the first to report a failed write.
    bool close() noexcept {
        if (fd_ < 0) {
            return true;
        }
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }
    const std::filesystem::path& path() const noexcept { return path_; }
    void commit() noexcept { committed_ = true; }

private:
    int fd_ = -1;
    std::filesystem::path path_;
    bool committed_ = false;
};

void syncDirectory(const std::filesystem::path& dir) {
    Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) {
        ::fsync(fd.get());
    }
}

bool writeProfileFile(std::filesystem::path file, std::string_view section, std::string_view key,
                      std::string_view value) {
    if (file.empty() || !validSection(section) || !validKey(key) || !validValue(value)) {
        return false;
    }

    // Through a symbolic link the linked file is updated; renaming over the link itself
    // would replace it by a plain file.
    std::error_code ec;
    if (std::filesystem::is_symlink(file, ec)) {
        file = std::filesystem::canonical(file, ec);
        if (ec) {
            return false;
        }
    }

    Existing existing;
    if (!readExisting(file, existing)) {
        return false;
    }
    const std::string updated = editProfile(existing.content, section, key, value);

    std::filesystem::path dir = file.parent_path();
    if (dir.empty()) {
        dir = ".";
    }
    TempFile temp;
    if (!temp.create(dir, file.filename())) {
        return false;
    }
    if (existing.present) {
        // Best effort: permissions and owner of the file being replaced carry over.
        ::fchmod(temp.fd(), existing.info.st_mode & 07777);
        if (existing.info.st_uid != ::geteuid() || existing.info.st_gid != ::getegid()) {
            [[maybe_unused]] const int rc =
                ::fchown(temp.fd(), existing.info.st_uid, existing.info.st_gid);
        }
    }
    if (!writeAll(temp.fd(), updated) || ::fsync(temp.fd()) != 0 || !temp.close()) {
        return false;
    }
    if (::rename(temp.path().c_str(), file.c_str()) != 0) {
        return false;
    }
    temp.commit();
    // The rename is what makes the write durable; a failing directory sync cannot undo it.
    syncDirectory(dir);
    return true;
}

} // namespace

bool writeProfileString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value) noexcept {
    try {
        return writeProfileFile(file, section, key, value);
    } catch (...) {
        return false;
    }
}

} // namespace kw
