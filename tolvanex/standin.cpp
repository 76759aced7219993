// Stand-in for the KALIWIRE programmer library: a programmer whose chip is kept in a file under
// the user's state directory, so that a download can be read back later, in the same run or
// another one. The file holds the largest chip's flash (8192 bytes), then its EEPROM (640
// bytes), then its 11 option bytes from 0x4800. A new store is a chip with its flash erased to
// 0xFF (the window's padding), EEPROM 0x00 and the factory option bytes; a shorter file (one
// kept before EEPROM and option bytes were) keeps what it holds and takes those for the rest.
//
// Read-out protection (ROP = 0xAA) acts as on the chip: flash and EEPROM read as 0x71 and
// refuse writes with code 4; option bytes stay readable and writable. Writing ROP with any
// other value, or RemoveReadoutProtection, then erases flash and EEPROM to 0x00 (the chip's
// erased state). Option bytes take effect at once, not at the chip's next reset.
//
// Result codes:
//   0  done
//   1  programmer not found (only when told to act as a missing programmer)
//   2  bad argument: null block, or an offset that is not a multiple of the block size or
//      lies outside the area, an option-byte index that is not 0 or odd up to 9, a buffer
//      shorter than the option bytes; nothing is read or written
//   3  the store could not be read or written
//   4  the chip has read-out protection: flash and EEPROM cannot be written
//   any code chosen through TOLVANEX_STANDIN=fail=<block>:<code>
// NeedsBlockPauses returns 1: this stands for a library that relies on the host's pauses
// between blocks.
//
// TOLVANEX_STANDIN holds comma-separated settings, read at every call:
//   absent               every call returns 1
//   fail=<block>:<code>  the flash block with that index (in either export's block size)
//                        returns <code> and transfers nothing
//   eeprom-fail=<block>:<code>  the same for the EEPROM block with that index
//   rop                  a store that does not exist yet is a protected chip
//   delay=<ms>           time each block or option-byte write takes
// Without a delay, SWIMSCK in section [System] of TOLVANEX.INI beside this library picks a
// per-block time for the low (0) or high (1) speed clock; without the file blocks are
// instant.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
constexpr std::int32_t kFlashSize = kw::kLargestChip.flashSize;
constexpr std::int32_t kEepromSize = kw::kEepromMaxSize;
constexpr std::int32_t kWriteBlockSize = kw::kSetFlashDataBlockSize;
constexpr std::int32_t kReadBlockSize = kw::kGetFlashDataBlockSize;
constexpr std::int32_t kEepromBlockSize = kw::kEepromBlockSize;

constexpr kw::ResultCode kDone = 0;
constexpr kw::ResultCode kNotFound = kw::kProgrammerNotFound;
constexpr kw::ResultCode kBadArgument = 2;
constexpr kw::ResultCode kStoreFailed = 3;
constexpr kw::ResultCode kProtected = 4;

constexpr std::uint8_t kRopOn = 0xAA;
// What the chip answers for every flash or EEPROM byte while protected.
constexpr std::uint8_t kProtectedRead = 0x71;
// The chip's erased state, which removing the protection leaves.
constexpr std::uint8_t kErased = 0x00;
// ROP, then OPT1 NOPT1 ... OPT5 NOPT5 as a new chip has them.
constexpr std::array<std::uint8_t, kw::kOptionByteCount> kFactoryOptions{
    0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF};

// The store's layout, byte for byte as in the file.
struct Chip {
    std::array<std::uint8_t, kFlashSize> flash;
    std::array<std::uint8_t, kEepromSize> eeprom;
    std::array<std::uint8_t, kw::kOptionByteCount> options;

    bool isProtected() const { return options[0] == kRopOn; }
    void eraseForUnprotect() {
        flash.fill(kErased);
        eeprom.fill(kErased);
    }
};
static_assert(sizeof(Chip) == kFlashSize + kEepromSize + kw::kOptionByteCount);

struct BlockFailure {
    std::int32_t block = -1;
    kw::ResultCode code = 0;
};

struct Behaviour {
    bool absent = false;
    bool startProtected = false;
    BlockFailure flashFailure;
    BlockFailure eepromFailure;
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

// "<block>:<code>"; an unreadable one is ignored.
void parseFailure(std::string_view text, std::int32_t blocks, BlockFailure& failure) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return;
    const auto block = parseNumber(text.substr(0, colon));
    const auto code = parseNumber(text.substr(colon + 1));
    if (block && code && *block >= 0 && *block < blocks) {
        failure.block = static_cast<std::int32_t>(*block);
        failure.code = static_cast<kw::ResultCode>(*code);
    }
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
        } else if (item == "rop") {
            behaviour.startProtected = true;
        } else if (item.starts_with("fail=")) {
            parseFailure(item.substr(5), kFlashSize, behaviour.flashFailure);
        } else if (item.starts_with("eeprom-fail=")) {
            parseFailure(item.substr(12), kEepromSize / kEepromBlockSize, behaviour.eepromFailure);
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

// Rough time a block takes on the wire and in the chip's memory, in microseconds. Kept
// short: enough to see the progress bar move, not a faithful timing model.
long blockTimeUs(const Behaviour& behaviour, bool writing) {
    if (behaviour.delayMs)
        return *behaviour.delayMs * 1000;
    const auto mode = clockMode();
    if (!mode)
        return 0;
    const long writeUs = *mode == 1 ? 2000 : 4000;
    return writing ? writeUs : writeUs / 4;
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

// A store that does not exist yet is a new chip. Bytes past a short file's end are a new
// chip's; only the chip's length is read from a longer one. Anything but a regular file
// (a FIFO, a device) is a store that cannot be read.
bool loadStore(const fs::path& path, const Behaviour& behaviour, Chip& chip) {
    chip.flash.fill(0xFF);
    chip.eeprom.fill(kErased);
    chip.options = kFactoryOptions;
    const kw::FileContent store = kw::readRegularFile(path, sizeof(Chip));
    if (store.status == kw::FileContent::Status::Absent) {
        if (behaviour.startProtected)
            chip.options[0] = kRopOn;
        return true;
    }
    if (store.status != kw::FileContent::Status::Read)
        return false;
    auto* bytes = reinterpret_cast<std::uint8_t*>(&chip);
    std::copy(store.bytes.begin(), store.bytes.end(), bytes);
    return true;
}

// Replaced as a whole, so the store is always either the old chip or the new one, never
// half of each.
bool saveStore(const fs::path& path, const Chip& chip) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec)
        return false;
    return kw::replaceFileAtomically(
        path, std::string_view(reinterpret_cast<const char*>(&chip), sizeof(Chip)));
}

bool validBlock(std::int32_t offset, std::int32_t blockSize, std::int32_t areaSize) {
    return offset >= 0 && offset <= areaSize - blockSize && offset % blockSize == 0;
}

// What the block exports share before touching the store; nullopt means go on.
std::optional<kw::ResultCode> precheck(const Behaviour& behaviour, std::int32_t offset,
                                       const std::uint8_t* block, std::int32_t blockSize,
                                       std::int32_t areaSize, const BlockFailure& failure) {
    if (behaviour.absent)
        return kNotFound;
    if (block == nullptr || !validBlock(offset, blockSize, areaSize))
        return kBadArgument;
    if (failure.block == offset / blockSize)
        return failure.code;
    return std::nullopt;
}

// An export's body: nothing it throws (allocation, the file system) escapes into the caller.
template <class Body> kw::ResultCode guarded(Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return kStoreFailed;
    }
}

// Runs `change` on the stored chip and saves the chip when `change` says it changed.
template <class Change> kw::ResultCode withStore(const Behaviour& behaviour, Change change) {
    const fs::path path = storePath();
    Chip chip;
    if (path.empty() || !loadStore(path, behaviour, chip))
        return kStoreFailed;
    bool changed = false;
    const kw::ResultCode code = change(chip, changed);
    if (changed && !saveStore(path, chip))
        return kStoreFailed;
    return code;
}

// One block out of an area of the chip, 0x71 while it is protected.
template <std::size_t N>
kw::ResultCode readArea(const Chip& chip, const std::array<std::uint8_t, N>& area,
                        std::int32_t offset, std::int32_t size, std::uint8_t* block) {
    if (chip.isProtected())
        std::fill_n(block, size, kProtectedRead);
    else
        std::copy_n(area.begin() + offset, size, block);
    return kDone;
}

template <std::size_t N>
kw::ResultCode writeArea(Chip& chip, std::array<std::uint8_t, N>& area, std::int32_t offset,
                         std::int32_t size, const std::uint8_t* block, bool& changed) {
    if (chip.isProtected())
        return kProtected;
    changed = !std::equal(block, block + size, area.begin() + offset);
    std::copy_n(block, size, area.begin() + offset);
    return kDone;
}

// Writing ROP with anything but 0xAA on a protected chip is what removes the protection.
void setRop(Chip& chip, std::uint8_t value) {
    if (chip.isProtected() && value != kRopOn)
        chip.eraseForUnprotect();
    chip.options[0] = value;
}

} // namespace

KW_EXPORT kw::ResultCode KW_STDCALL SetFlashData(std::int32_t offset, std::uint8_t* block) {
    return guarded([&] {
        const Behaviour behaviour = readBehaviour();
        if (const auto early = precheck(behaviour, offset, block, kWriteBlockSize, kFlashSize,
                                        behaviour.flashFailure))
            return *early;
        spend(blockTimeUs(behaviour, true));
        return withStore(behaviour, [&](Chip& chip, bool& changed) {
            return writeArea(chip, chip.flash, offset, kWriteBlockSize, block, changed);
        });
    });
}

KW_EXPORT kw::ResultCode KW_STDCALL GetFlashData(std::int32_t offset, std::uint8_t* block) {
    return guarded([&] {
        const Behaviour behaviour = readBehaviour();
        if (const auto early = precheck(behaviour, offset, block, kReadBlockSize, kFlashSize,
                                        behaviour.flashFailure))
            return *early;
        spend(blockTimeUs(behaviour, false));
        return withStore(behaviour, [&](Chip& chip, bool&) {
            return readArea(chip, chip.flash, offset, kReadBlockSize, block);
        });
    });
}

KW_EXPORT kw::ResultCode KW_STDCALL SetEepromData(std::int32_t offset, std::uint8_t* block) {
    return guarded([&] {
        const Behaviour behaviour = readBehaviour();
        if (const auto early = precheck(behaviour, offset, block, kEepromBlockSize, kEepromSize,
                                        behaviour.eepromFailure))
            return *early;
        spend(blockTimeUs(behaviour, true));
        return withStore(behaviour, [&](Chip& chip, bool& changed) {
            return writeArea(chip, chip.eeprom, offset, kEepromBlockSize, block, changed);
        });
    });
}

KW_EXPORT kw::ResultCode KW_STDCALL GetEepromData(std::int32_t offset, std::uint8_t* block) {
    return guarded([&] {
        const Behaviour behaviour = readBehaviour();
        if (const auto early = precheck(behaviour, offset, block, kEepromBlockSize, kEepromSize,
                                        behaviour.eepromFailure))
            return *early;
        spend(blockTimeUs(behaviour, false));
        return withStore(behaviour, [&](Chip& chip, bool&) {
            return readArea(chip, chip.eeprom, offset, kEepromBlockSize, block);
        });
    });
}

KW_EXPORT kw::ResultCode KW_STDCALL GetOptionBytes(std::uint8_t* buffer, std::int32_t size) {
    return guarded([&] {
        const Behaviour behaviour = readBehaviour();
        if (behaviour.absent)
            return kNotFound;
        if (buffer == nullptr || size < kw::kOptionByteCount)
            return kBadArgument;
        return withStore(behaviour, [&](Chip& chip, bool&) {
            std::copy(chip.options.begin(), chip.options.end(), buffer);
            return kDone;
        });
    });
}

KW_EXPORT kw::ResultCode KW_STDCALL SetOptionByte(std::int32_t index, std::uint8_t value) {
    return guarded([&] {
        const Behaviour behaviour = readBehaviour();
        if (behaviour.absent)
            return kNotFound;
        if (index < 0 || index >= kw::kOptionByteCount || (index != 0 && index % 2 == 0))
            return kBadArgument;
        return withStore(behaviour, [&](Chip& chip, bool& changed) {
            const Chip before = chip;
            if (index == 0) {
                setRop(chip, value);
            } else {
                const auto at = static_cast<std::size_t>(index);
                chip.options[at] = value;
                chip.options[at + 1] = static_cast<std::uint8_t>(~value);
            }
            changed = std::memcmp(&before, &chip, sizeof(Chip)) != 0;
            if (changed)
                spend(blockTimeUs(behaviour, true));
            return kDone;
        });
    });
}

KW_EXPORT kw::ResultCode KW_STDCALL RemoveReadoutProtection() {
    return guarded([&] {
        const Behaviour behaviour = readBehaviour();
        if (behaviour.absent)
            return kNotFound;
        return withStore(behaviour, [&](Chip& chip, bool& changed) {
            changed = chip.isProtected();
            if (changed) {
                setRop(chip, 0x00);
                spend(blockTimeUs(behaviour, true));
            }
            return kDone;
        });
    });
}

KW_EXPORT int KW_STDCALL NeedsBlockPauses() {
    return 1;
}
