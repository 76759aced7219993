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
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "programmer/Exports.h"
#include "programmer/ModuleFolder.h"
#include "settings/AtomicFile.h"
#include "settings/ToolSettings.h"
#include "target/Chip.h"

namespace fs = std::filesystem;

namespace {

// The largest chip's flash: every transfer covers all of it.
constexpr std::int32_t kImageSize = kw::kLargestChip.flashSize;
constexpr std::int32_t kWriteBlockSize = kw::kSetFlashDataBlockSize;
constexpr std::int32_t kReadBlockSize = kw::kGetFlashDataBlockSize;

constexpr kw::ResultCode kDone = 0;
constexpr kw::ResultCode kNotFound = kw::kProgrammerNotFound;
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

// SWIMSCK from [System] of the tool's settings file beside this library, if any.
std::optional<int> clockMode() {
    return kw::settings::swimClockModeIn(kw::thisModuleFolder());
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
// its end; only the image's length is read from a longer one. Anything but a regular file
// (a FIFO, a device) is a store that cannot be read.
bool loadStore(const fs::path& path, Image& image) {
    image.fill(0xFF);
    const kw::FileContent store = kw::readRegularFile(path, image.size());
    if (store.status == kw::FileContent::Status::Absent)
        return true;
    if (store.status != kw::FileContent::Status::Read)
        return false;
    std::copy(store.bytes.begin(), store.bytes.end(), image.begin());
    return true;
}

// Replaced as a whole, so the store is always either the old image or the new one, never
// half of each.
bool saveStore(const fs::path& path, const Image& image) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec)
        return false;
    return kw::replaceFileAtomically(
        path, std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
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
