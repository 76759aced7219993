#include "settings/AtomicFile.h"

#include "image/Errors.h"
#include "image/FileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <random>
#include <system_error>

namespace kw {
namespace {

namespace fs = std::filesystem;

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { close(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    void reset(int fd) noexcept {
        close();
        fd_ = fd;
    }
    // Reports whether the close succeeded: it can be the first to report a failed write.
    bool close() noexcept {
        if (fd_ < 0)
            return true;
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }

private:
    int fd_;
};

// Removes the temporary file unless it has been renamed into place.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        fd_.close();
        if (!path_.empty() && !committed_)
            ::unlink(path_.c_str());
    }

    // A new file with a name no other writer (thread, process) picks in `dir`, created with
    // 0666 less the umask.
    bool create(const fs::path& dir, const fs::path& name) {
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
            fs::path candidate = dir / unique;
            const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                fd_.reset(fd);
                path_ = std::move(candidate);
                return true;
            }
            if (errno != EEXIST)
                return false;
        }
        return false;
    }

    int fd() const noexcept { return fd_.get(); }
    bool close() noexcept { return fd_.close(); }
    const fs::path& path() const noexcept { return path_; }
    void commit() noexcept { committed_ = true; }

private:
    Descriptor fd_{-1};
    fs::path path_;
    bool committed_ = false;
};

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The file a path finally names once every symbolic link in its last component is followed;
// renaming over the link itself would turn it into a plain file. Nothing for a loop.
std::optional<fs::path> followLinks(fs::path file) {
    constexpr int kMostLinks = 40; // what the kernel itself follows
    for (int hops = 0; hops < kMostLinks; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(file, ec))
            return file;
        const fs::path target = fs::read_symlink(file, ec);
        if (ec)
            return std::nullopt;
        file = target.is_absolute() ? target : file.parent_path() / target;
    }
    return std::nullopt;
}

void syncDirectory(const fs::path& dir) {
    const Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid())
        ::fsync(fd.get());
}

bool replace(const fs::path& file, std::string_view content) {
    const auto target = followLinks(file);
    if (!target || target->filename().empty())
        return false;

    struct stat existing {};
    const bool present = ::stat(target->c_str(), &existing) == 0;
    if (present ? !S_ISREG(existing.st_mode) : errno != ENOENT)
        return false;

    fs::path dir = target->parent_path();
    if (dir.empty())
        dir = ".";
    TempFile temp;
    if (!temp.create(dir, target->filename()))
        return false;
    if (present) {
        // Owner first: changing it clears set-user-ID and set-group-ID bits, which the mode
        // then restores. Best effort; an owner the caller may not give stays the caller.
        if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) {
            [[maybe_unused]] const int rc = ::fchown(temp.fd(), existing.st_uid, existing.st_gid);
        }
        ::fchmod(temp.fd(), existing.st_mode & 07777);
    }
    if (!writeAll(temp.fd(), content) || ::fsync(temp.fd()) != 0 || !temp.close())
        return false;
    if (::rename(temp.path().c_str(), target->c_str()) != 0)
        return false;
    temp.commit();
    // The rename is what makes the write durable; a failing folder sync cannot undo it.
    syncDirectory(dir);
    return true;
}

} // namespace

bool replaceFileAtomically(const fs::path& file, std::string_view content) noexcept {
    try {
        return !file.empty() && replace(file, content);
    } catch (...) {
        return false;
    }
}

FileContent readRegularFile(const fs::path& file, std::size_t limit) noexcept {
    using Status = FileContent::Status;
    FileContent result;
    try {
        InputFile in(file);
        // The length is a hint only: the file may grow or shrink while it is read. One byte
        // past the limit tells whether the limit cut it.
        const std::size_t cap = limit < SIZE_MAX ? limit + 1 : limit;
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(in.length(), cap));
        std::size_t got = 0;
        for (;;) {
            result.bytes.resize(std::min(std::max(wanted, got + 4096), cap));
            const std::size_t n = in.read({result.bytes.data() + got, result.bytes.size() - got});
            got += n;
            if (got < result.bytes.size() || got > limit)
                break;
        }
        result.whole = got <= limit;
        result.bytes.resize(std::min(got, limit));
        result.status = Status::Read;
    } catch (const IoError& failure) {
        result = FileContent{};
        switch (failure.kind()) {
        case IoError::Kind::Absent:
            result.status = Status::Absent;
            break;
        case IoError::Kind::NotRegular:
            result.status = Status::NotRegular;
            break;
        case IoError::Kind::Failed:
            result.status = Status::Failed;
            break;
        }
    } catch (...) {
        result = FileContent{};
    }
    return result;
}

} // namespace kw
