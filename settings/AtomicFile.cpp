#include "settings/AtomicFile.h"

#include "image/Errors.h"
#include "image/FileReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
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

// Longest file name the folder takes.
std::size_t nameMax(const fs::path& dir) {
    const long limit = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
}

// What every temporary name for `name` starts with: ".<name>.tmp-", followed by the writer's
// process ID, '-' and 16 hexadecimal digits. The name is shortened (at a character boundary)
// so that the whole stays within the folder's limit even for a name close to it.
std::string temporaryPrefix(const fs::path& dir, const fs::path& name) {
    constexpr std::size_t kSuffix = 5 + 20 + 1 + 16; // ".tmp-", a process ID, '-', digits
    const std::size_t limit = nameMax(dir);
    std::string stem = name.string();
    const std::size_t room = limit > kSuffix + 2 ? limit - kSuffix - 1 : 1;
    if (stem.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80)
            --cut;
        stem.resize(cut);
    }
    // Built by appending: GCC 12 at -O3 misreports `"." + std::string` (-Wrestrict).
    std::string prefix(1, '.');
    prefix.append(stem).append(".tmp-");
    return prefix;
}

// Removes temporary files for `name` that a writer of this user left when it was killed: its
// process is gone. Only regular files are removed, never followed through a link.
void removeStaleTemporaries(const fs::path& dir, const fs::path& name) {
    const std::string prefix = temporaryPrefix(dir, name);
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr)
        return;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view entryName(entry->d_name);
        if (!entryName.starts_with(prefix))
            continue;
        const std::string_view rest = entryName.substr(prefix.size());
        const std::size_t dash = rest.find('-');
        if (dash == 0 || dash == std::string_view::npos || dash > 18 ||
            rest.substr(0, dash).find_first_not_of("0123456789") != std::string_view::npos)
            continue;
        const long pid = std::stol(std::string(rest.substr(0, dash)));
        if (pid <= 0 || pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 ||
            errno != ESRCH)
            continue;
        struct stat info {};
        if (::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && info.st_uid == ::geteuid())
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
    }
    ::closedir(listing);
}

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
        const std::string prefix = temporaryPrefix(dir, name);
        for (int attempt = 0; attempt < 16; ++attempt) {
            char unique[32];
            std::snprintf(unique, sizeof unique, "%ld-%08x%08x", static_cast<long>(::getpid()),
                          counter.fetch_add(1), static_cast<unsigned>(random()));
            fs::path candidate = dir / (prefix + unique);
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

using Status = ReplaceOutcome::Status;

ReplaceOutcome failed(int error = errno) {
    return {Status::Failed, error};
}

// What a write to `file` would replace, once the options have had their say.
struct Destination {
    ReplaceOutcome refusal{Status::Replaced, 0}; // Replaced when the write may go ahead
    fs::path target;                             // the name that gets the new file
    bool present = false;                        // an existing file whose metadata to keep
    struct stat existing {};
    fs::path dir;
};

bool writableByCaller(const fs::path& file, const struct stat& info) {
    return (info.st_mode & 0222) != 0 && ::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) == 0;
}

Destination destinationOf(const fs::path& file, const ReplaceOptions& options) {
    Destination d;
    std::optional<fs::path> target = file;
    if (options.followLinks)
        target = followLinks(file);
    if (!target || target->filename().empty()) {
        d.refusal = failed(target ? EISDIR : ELOOP);
        return d;
    }
    d.target = *target;
    d.dir = d.target.parent_path();
    if (d.dir.empty())
        d.dir = ".";

    if (::lstat(d.target.c_str(), &d.existing) != 0) {
        if (errno != ENOENT)
            d.refusal = failed();
        return d;
    }
    if (S_ISLNK(d.existing.st_mode)) {
        // Only reached without following: the link itself is what gets replaced.
        struct stat folder {};
        if (::stat(d.dir.c_str(), &folder) == 0 && (folder.st_mode & S_ISVTX) != 0 &&
            d.existing.st_uid != ::geteuid())
            d.refusal = {Status::ForeignLink, 0};
        return d;
    }
    if (!S_ISREG(d.existing.st_mode)) {
        d.refusal = {Status::NotRegular, 0};
        return d;
    }
    if (!options.replaceReadOnly && !writableByCaller(d.target, d.existing)) {
        d.refusal = {Status::ReadOnly, 0};
        return d;
    }
    d.present = true;
    return d;
}

ReplaceOutcome replace(const fs::path& file, std::string_view content,
                       const ReplaceOptions& options) {
    const Destination d = destinationOf(file, options);
    if (!d.refusal.replaced())
        return d.refusal;
    if (options.removeStaleTemporaries)
        removeStaleTemporaries(d.dir, d.target.filename());

    TempFile temp;
    if (!temp.create(d.dir, d.target.filename()))
        return failed();
    if (d.present) {
        // Owner first: changing it clears set-user-ID and set-group-ID bits, which the mode
        // then restores. Best effort; an owner the caller may not give stays the caller.
        if (d.existing.st_uid != ::geteuid() || d.existing.st_gid != ::getegid()) {
            [[maybe_unused]] const int rc =
                ::fchown(temp.fd(), d.existing.st_uid, d.existing.st_gid);
        }
        ::fchmod(temp.fd(), d.existing.st_mode & 07777);
    }
    if (!writeAll(temp.fd(), content) || ::fsync(temp.fd()) != 0 || !temp.close())
        return failed();
    if (::rename(temp.path().c_str(), d.target.c_str()) != 0)
        return failed();
    temp.commit();
    // The rename is what makes the write durable; a failing folder sync cannot undo it.
    syncDirectory(d.dir);
    return {Status::Replaced, 0};
}

} // namespace

bool replaceFileAtomically(const fs::path& file, std::string_view content) noexcept {
    return replaceFile(file, content, ReplaceOptions{}).replaced();
}

ReplaceOutcome replaceFile(const fs::path& file, std::string_view content,
                           const ReplaceOptions& options) noexcept {
    try {
        if (file.empty())
            return failed(ENOENT);
        return replace(file, content, options);
    } catch (...) {
        return failed(ENOMEM);
    }
}

ReplaceOutcome checkReplaceable(const fs::path& file, const ReplaceOptions& options) noexcept {
    try {
        if (file.empty())
            return failed(ENOENT);
        const Destination d = destinationOf(file, options);
        if (!d.refusal.replaced())
            return d.refusal;
        TempFile probe;
        if (!probe.create(d.dir, d.target.filename()))
            return failed();
        return {Status::Replaced, 0};
    } catch (...) {
        return failed(ENOMEM);
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
