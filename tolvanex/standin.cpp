// Stand-in for the KALIWIRE programmer library: a programmer whose flash is an image of the
// largest chip's flash (8192 bytes) kept in a file under the user's state directory, so that a
// download can be read back later, in the same run or another one.
//
// Result codes:
//   0  block done
//   1  programmer not found (only when told to act as a missing programmer)
//   2  bad argument: null block, or an offset that is not a multiple of the block size or
//      lies outside the image; nothing is read or written
//   3  the image store could not be read or written
//   any code chosen through TOLVANEX_STANDIN=fail=<block>:<code>
//
// TOLVANEX_STANDIN holds comma-separated settings, read at every call:
//   absent               every call returns 1
//   fail=<block>:<code>  the block with that index (in either export's block size) returns
//                        <code> and transfers nothing
//   delay=<ms>           time each block takes
// Without a delay, SWIMSCK in section [System] of TOLVANEX.INI beside this library picks a
// per-block time for the low (0) or high (1) speed clock; without the file blocks are
// instant.

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

#include <dlfcn.h>

#include "programmer/Exports.h"
#include "target/Chip.h"

namespace fs = std::filesystem;

namespace {

// The largest chip's flash: every transfer covers all of it.
constexpr std::int32_t kImageSize = kw::kLargestChip.flashSize;
constexpr std::int32_t kWriteBlockSize = kw::kSetFlashDataBlockSize;
constexpr std::int32_t kReadBlockSize = kw::kGetFlashDataBlockSize;

constexpr kw::ResultCode kDone = 0;
constexpr kw::ResultCode kNotFound = 1;
constexpr kw::ResultCode kBadArgument = 2;
constexpr kw::ResultCode kStoreFailed = 3;

using Image = std::array<std::uint8_t, kImageSize>;

struct Behaviour {
    bool absent = false;
    std::optional<std::int32_t> failBlock;
    kw::ResultCode failCode = 0;
    std::optional<long> delayMs;
};

std::optional<long> parseNumber(std::string_view text) {
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(copy.c_str(), &end, 10);
    if (errno != 0 || end != copy.c_str() + copy.size())
        return std::nullopt;
    return value;
}

Behaviour readBehaviour() {
    Behaviour behaviour;
    const char* env = std::getenv("TOLVANEX_STANDIN");
    std::string_view rest = env != nullptr ? env : "";
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);

        if (item == "absent") {
            behaviour.absent = true;
        } else if (item.starts_with("fail=")) {
            const std::string_view failure = item.substr(5);
            const auto colon = failure.find(':');
            if (colon == std::string_view::npos)
                continue;
            const auto block = parseNumber(failure.substr(0, colon));
            const auto code = parseNumber(failure.substr(colon + 1));
            if (block && code && *block >= 0 && *block < kImageSize) {
                behaviour.failBlock = static_cast<std::int32_t>(*block);
                behaviour.failCode = static_cast<kw::ResultCode>(*code);
            }
        } else if (item.starts_with("delay=")) {
            const auto ms = parseNumber(item.substr(6));
            if (ms && *ms >= 0 && *ms <= 60'000)
                behaviour.delayMs = *ms;
        }
    }
    return behaviour;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// SWIMSCK from [System] of the tool's settings file beside this library, if any.
std::optional<long> clockMode() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&readBehaviour), &info) == 0 || info.dli_fname == nullptr)
        return std::nullopt;
    std::ifstream ini(fs::path(info.dli_fname).parent_path() / "TOLVANEX.INI");
    if (!ini)
        return std::nullopt;
    bool inSystem = false;
    std::string line;
    while (std::getline(ini, line)) {
        const std::string_view text = trimmed(line);
        if (text.starts_with('[')) {
            const auto close = text.find(']');
            inSystem = close != std::string_view::npos &&
                       lowered(trimmed(text.substr(1, close - 1))) == "system";
            continue;
        }
        const auto equals = text.find('=');
        if (inSystem && equals != std::string_view::npos &&
            lowered(trimmed(text.substr(0, equals))) == "swimsck")
            return parseNumber(trimmed(text.substr(equals + 1)));
    }
    return std::nullopt;
}

// Rough time a block takes on the wire and in the chip's flash, in microseconds. Kept
// short: enough to see the progress bar move, not a faithful timing model.
long blockTimeUs(const Behaviour& behaviour, std::int32_t blockSize) {
    if (behaviour.delayMs)
        return *behaviour.delayMs * 1000;
    const auto mode = clockMode();
    if (!mode)
        return 0;
    const long writeUs = *mode == 1 ? 2000 : 4000;
    return blockSize == kWriteBlockSize ? writeUs : writeUs / 4;
}

void spend(long microseconds) {
    if (microseconds <= 0)
        return;
    timespec duration{microseconds / 1'000'000, (microseconds % 1'000'000) * 1000};
    while (nanosleep(&duration, &duration) == -1 && errno == EINTR) {
    }
}

fs::path storePath() {
    // XDG: a relative XDG_STATE_HOME is invalid and ignored.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && fs::path(state).is_absolute())
        return fs::path(state) / "kaliwire" / "programmer-flash.bin";
    const char* home = std::getenv("HOME");
    if (home != nullptr && fs::path(home).is_absolute())
        return fs::path(home) / ".local" / "state" / "kaliwire" / "programmer-flash.bin";
    return {};
}

// A store that does not exist yet is an erased chip. A short file reads as erased past
// its end.
bool loadStore(const fs::path& path, Image& image) {
    image.fill(0xFF);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    std::size_t got = 0;
    bool ok = true;
    while (got < image.size()) {
        const ssize_t n = ::read(fd, image.data() + got, image.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return ok;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Written beside the store and renamed over it, so the store is always either the old
// image or the new one, never half of each.
bool saveStore(const fs::path& path, const Image& image) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec)
        return false;
    fs::path temporary = path;
    temporary += ".tmp-" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, image.data(), image.size());
    ok = ::fdatasync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok)
        ok = ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

bool validBlock(std::int32_t offset, std::int32_t blockSize) {
    return offset >= 0 && offset <= kImageSize - blockSize && offset % blockSize == 0;
}

// What both exports share before touching the store; nullopt means go on.
std::optional<kw::ResultCode> precheck(const Behaviour& behaviour, std::int32_t offset,
                                       const std::uint8_t* block, std::int32_t blockSize) {
    if (behaviour.absent)
        return kNotFound;
    if (block == nullptr || !validBlock(offset, blockSize))
        return kBadArgument;
    if (behaviour.failBlock && *behaviour.failBlock == offset / blockSize)
        return behaviour.failCode;
    return std::nullopt;
}

} // namespace

KW_EXPORT kw::ResultCode KW_STDCALL SetFlashData(std::int32_t offset, std::uint8_t* block) {
    try {
        const Behaviour behaviour = readBehaviour();
        if (const auto early = precheck(behaviour, offset, block, kWriteBlockSize))
            return *early;
        spend(blockTimeUs(behaviour, kWriteBlockSize));
        const fs::path path = storePath();
        Image image;
        if (path.empty() || !loadStore(path, image))
            return kStoreFailed;
        std::copy_n(block, kWriteBlockSize, image.begin() + offset);
        return saveStore(path, image) ? kDone : kStoreFailed;
    } catch (...) {
        return kStoreFailed;
    }
}

KW_EXPORT kw::ResultCode KW_STDCALL GetFlashData(std::int32_t offset, std::uint8_t* block) {
    try {
        const Behaviour behaviour = readBehaviour();
        if (const auto early = precheck(behaviour, offset, block, kReadBlockSize))
            return *early;
        spend(blockTimeUs(behaviour, kReadBlockSize));
        const fs::path path = storePath();
        Image image;
        if (path.empty() || !loadStore(path, image))
            return kStoreFailed;
        std::copy_n(image.begin() + offset, kReadBlockSize, block);
        return kDone;
    } catch (...) {
        return kStoreFailed;
    }
}
