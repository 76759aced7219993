#include "emulator/Probe.h"

#include "emulator/ChipMemory.h"
#include "emulator/Clock.h"
#include "emulator/Stm8s103.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <utility>

namespace kw::emu {

namespace {

constexpr std::uint16_t kVendorSt = 0x0483;
constexpr std::uint16_t kPidV2 = 0x3748;
constexpr std::uint16_t kPidV21 = 0x374B, kPidV21NoMsd = 0x3752;
constexpr std::uint16_t kPidV3E = 0x374E, kPidV3S = 0x374F, kPidV3TwoVcp = 0x3753,
                        kPidV3ENoMsd = 0x3754;

constexpr std::size_t kFrameSize = 16;
constexpr std::size_t kFrameData = 8; // a SWIM write carries its first bytes in the frame
constexpr std::size_t kSwimBufferSize = 0x1800;

// USB mode as F5 reports it.
constexpr std::uint8_t kModeDfu = 0, kModeMass = 1, kModeDebug = 2, kModeSwim = 3;

// SWIM status bytes (F4 09, byte 0).
constexpr std::uint8_t kStatusOk = 0x00, kStatusBusy = 0x01, kStatusNoResponse = 0x04,
                       kStatusBadState = 0x05;
// A request the probe refuses (length 0 or beyond its buffer): our choice of code, only
// ever seen by a client with a bug.
constexpr std::uint8_t kStatusRefused = 0x02;

// SWIM wire timing: 800 kbit/s after SWIM_CSR.HS, 363 kbit/s before (HSI/10, HSI/22); a byte
// is 11 bit times (start, 8 data, parity, acknowledge). Each ROTF/WOTF command carries at
// most 255 bytes behind a header of about 50 bit times (command, count, 24-bit address).
constexpr Nanos kBitHigh = 1250;
constexpr Nanos kBitLow = 2750;
constexpr Nanos kBitsPerByte = 11;
constexpr Nanos kHeaderBits = 50;
constexpr std::size_t kBytesPerSwimCommand = 255;
// The entry sequence: 1.3 ms low, four pulses at 750 Hz, four at 1.5 kHz, then the chip's
// synchronisation answer.
constexpr Nanos kEntrySequence = 9600 * kMicro;
constexpr Nanos kSwimResetTime = 100 * kMicro;
constexpr Nanos kResyncTime = 50 * kMicro;
constexpr Nanos kPinTime = 10 * kMicro;
// Without limit, libusb waits for ever; a test should fail rather than hang.
constexpr Nanos kUnlimitedTimeout = 60'000 * kMilli;

// The chip memory file can fail underneath a transfer (disk full, file replaced). The caller
// sees an I/O error, as from a real device, never an exception: the stand-in libusb hands
// these results straight to C programs.
template <typename Call> int guarded(Call&& call) {
    try {
        return call();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kw-emu: %s\n", error.what());
        return LIBUSB_ERROR_IO;
    }
}

std::uint32_t bigEndian(const std::uint8_t* p, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | p[i];
    return value;
}

} // namespace

namespace {
constexpr std::array<std::pair<ChipVariant, const Chip*>, 6> kVariants{{
    {ChipVariant::Stm8s103f2, &kStm8s103f2},
    {ChipVariant::Stm8s103f3, &kStm8s103f3},
    {ChipVariant::Stm8s003f3, &kStm8s003f3},
    {ChipVariant::Stm8s903f3, &kStm8s903f3},
    {ChipVariant::Stm8s903k3, &kStm8s903k3},
    {ChipVariant::Stm8s001j3, &kStm8s001j3},
}};
static_assert(kVariants.size() == kChips.size(), "every chip kwflash knows is emulated");
} // namespace

const Chip& chipOf(ChipVariant variant) noexcept {
    for (const auto& [known, chip] : kVariants)
        if (known == variant)
            return *chip;
    return kStm8s103f3;
}

std::optional<ChipVariant> variantOf(const Chip& chip) noexcept {
    for (const auto& [variant, known] : kVariants)
        if (known == &chip)
            return variant;
    return std::nullopt;
}

std::optional<Generation> generationOf(std::uint16_t productId) noexcept {
    switch (productId) {
    case kPidV2:
        return Generation::V2;
    case kPidV21:
    case kPidV21NoMsd:
        return Generation::V21;
    case kPidV3E:
    case kPidV3S:
    case kPidV3TwoVcp:
    case kPidV3ENoMsd:
        return Generation::V3;
    default:
        return std::nullopt;
    }
}

class Probe::Impl {
public:
    explicit Impl(Options options);

    std::uint16_t productId() const { return options_.productId; }
    Generation generation() const { return generation_; }
    bool present() const { return !faults_.noProbe && !unplugged_; }
    int open();
    void close();
    int claimInterface(int interfaceNumber);
    int releaseInterface(int interfaceNumber);
    int resetDevice();
    int bulkTransfer(unsigned char endpoint, unsigned char* data, int length, int* transferred,
                     unsigned timeoutMs);
    std::vector<std::uint8_t> peek(std::uint32_t address, std::size_t length) const;
    void poke(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    Statistics statistics();

    mutable std::mutex mutex;

private:
    unsigned char outEndpoint() const { return generation_ == Generation::V2 ? 0x02 : 0x01; }
    unsigned char traceEndpoint() const { return generation_ == Generation::V2 ? 0x83 : 0x82; }
    Nanos transferCost(int length) const;
    int waitForTimeout(unsigned timeoutMs);
    int handleOut(const unsigned char* data, int length, int* transferred);
    int handleIn(unsigned char* data, int length, int* transferred, unsigned timeoutMs,
                 bool cutShort);
    void handleCommand(const std::array<std::uint8_t, kFrameSize>& frame);
    void handleSwimCommand(const std::array<std::uint8_t, kFrameSize>& frame);
    void reply(std::vector<std::uint8_t> bytes);
    void setMode(std::uint8_t mode);
    bool swimCapable() const { return !faults_.noSwim; }
    bool targetAnswers() const { return board_ && !faults_.targetAbsent && !targetLost_; }
    bool linkUp() const;
    Nanos bitTime() const { return memory_.probeHighSpeed ? kBitHigh : kBitLow; }
    Nanos swimStart();
    void finishSwimOperation(Nanos end, std::uint8_t status);
    std::uint16_t bytesDone(Nanos now) const;
    std::uint8_t injectedFailure(long long command);
    void startWrite();
    void startRead(std::uint32_t address, std::size_t length);
    std::vector<std::uint8_t> versionReply() const;
    std::vector<std::uint8_t> extendedVersionReply() const;
    void trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    // A board on the SWIM connector: the chip, its memory and the chip faults it carries.
    struct Board {
        std::string name; // empty: the probe's own chip, without board swaps
        std::string faults;
        bool operator==(const Board&) const = default;
    };
    void putOn(const std::optional<Board>& board);
    ChipMemory& boardMemory(const std::string& name);
    void lookAtBoardFile();
    void entryAttempt();
    void sessionEnded();

    Options options_;
    Generation generation_;
    EmulatedClock clock_;
    ChipMemory memory_; // the probe's lock and USB state; the chip's memory without swaps
    Faults faults_;     // the probe's and the board's
    std::unique_ptr<Stm8s103> chip_; // the board on the probe, or the last one taken off
    ChipMemory* chipMemory_ = &memory_;
    std::map<std::string, std::unique_ptr<ChipMemory>> boardMemories_;

    // Board swaps. board_ is what is on the probe now (nullopt: nothing on the wire).
    std::optional<Board> board_ = Board{};
    std::string boardFileText_; // the board file as last read
    bool boardFileRead_ = false;
    int boardsPutOn_ = 0;
    bool sessionOpen_ = false; // an entry sequence found the board and SWIM has not ended
    int sessionsLeft_ = 0;     // on the board now, before it is taken off
    int gapLeft_ = 0;          // entry sequences that still find nothing
    long long boardBlocks_ = 0;

    bool open_ = false;
    bool claimed_ = false;
    bool unplugged_ = false;
    bool targetLost_ = false;
    bool resetAsserted_ = false;
    bool stuck_ = false; // swallows every command until the device is reset
    bool badStatePending_ = false;
    long long transfers_ = 0;
    long long blockProgrammings_ = 0;
    long long swimBytes_ = 0;
    long long memoryCommands_ = 0;
    long long highSpeedCommands_ = 0;
    long long busyRefusals_ = 0;

    std::vector<std::uint8_t> reply_; // answer waiting for the next IN transfer
    bool replyPending_ = false;

    // A SWIM write whose data has not all arrived yet.
    std::uint32_t writeAddress_ = 0;
    std::vector<std::uint8_t> writeData_;
    std::size_t writeMissing_ = 0;

    // The last SWIM operation: busy until it ends. A read or write on the wire counts its
    // bytes from transferFrom_ to swimFreeAt_.
    Nanos swimFreeAt_ = 0;
    std::uint8_t swimStatus_ = kStatusOk;
    Nanos transferFrom_ = 0;
    std::size_t transferBytes_ = 0;

    // The probe's read buffer, filled when a read operation ends.
    std::vector<std::uint8_t> readBuffer_ = std::vector<std::uint8_t>(kSwimBufferSize);
    std::vector<std::uint8_t> pendingRead_;
    Nanos pendingReadAt_ = 0;
    std::size_t readLength_ = 0;
};

Probe::Impl::Impl(Options options)
    : options_(std::move(options)),
      generation_(generationOf(options_.productId).value_or(Generation::V2)),
      clock_(options_.timeScale), memory_(options_.memoryFile), faults_(options_.faults),
      stuck_(faults_.versionFailOnce) {
    if (faults_.staleSwimMode)
        setMode(kModeSwim);
    switch (options_.boards.mode) {
    case BoardSwaps::Mode::Fixed:
        putOn(Board{});
        break;
    case BoardSwaps::Mode::File:
        putOn(Board{}); // the probe's own chip until the file names a board: peek works
        board_.reset();
        lookAtBoardFile();
        break;
    case BoardSwaps::Mode::Auto:
        putOn(Board{});
        board_.reset();
        gapLeft_ = 0; // the first board is on from the start
        entryAttempt();
        break;
    }
}

ChipMemory& Probe::Impl::boardMemory(const std::string& name) {
    if (name.empty())
        return memory_;
    auto& kept = boardMemories_[name];
    if (!kept) {
        // Beside the probe's own file, so that several probes' boards never share one.
        const std::string path =
            options_.memoryFile.empty() ? std::string() : options_.memoryFile + "." + name;
        kept = std::make_unique<ChipMemory>(path);
    } else {
        kept->reload();
    }
    return *kept;
}

void Probe::Impl::putOn(const std::optional<Board>& board) {
    sessionOpen_ = false;
    board_.reset();
    if (!board) {
        trace("board taken off: nothing on the SWIM wire");
        return; // the chip stays for peek and poke, unreachable
    }
    ChipMemory& memory = boardMemory(board->name); // throws for a file that is not ours
    if (options_.boards.mode == BoardSwaps::Mode::Auto && !board->name.empty())
        memory.erase(); // a fresh chip from the reel
    faults_ = options_.faults;
    applyFaults(faults_, board->faults, "board faults", true);
    Options chipOptions = options_;
    chipOptions.faults = faults_;
    chip_ = std::make_unique<Stm8s103>(chipOptions, memory);
    chipMemory_ = &memory;
    if (faults_.readoutProtected) {
        memory.options[0] = 0xAA;
        memory.saveOptions();
    }
    if (faults_.ubcBlocks >= 0) {
        memory.options[1] = static_cast<std::uint8_t>(faults_.ubcBlocks);
        memory.options[2] = static_cast<std::uint8_t>(~faults_.ubcBlocks);
        memory.saveOptions();
    }
    chip_->powerUp(); // option bytes, as changed above, take effect
    targetLost_ = false;
    badStatePending_ = false;
    boardBlocks_ = 0;
    memoryCommands_ = 0;
    highSpeedCommands_ = 0;
    sessionsLeft_ = options_.boards.sessions;
    board_ = board;
    if (!board->name.empty()) {
        ++boardsPutOn_;
        trace("board %s put on%s%s", board->name.c_str(), board->faults.empty() ? "" : ", faults ",
              board->faults.c_str());
    }
    chip_->beforeFlashBlock = [this] {
        const long long done = blockProgrammings_;
        if (faults_.unplugAtBlock >= 0 && done >= faults_.unplugAtBlock) {
            unplugged_ = true;
            trace("probe unplugged before flash block %lld", done);
            return false;
        }
        if (faults_.targetLostAtBlock >= 0 && boardBlocks_ >= faults_.targetLostAtBlock) {
            targetLost_ = true;
            trace("target lost before flash block %lld", done);
            return false;
        }
        ++blockProgrammings_;
        ++boardBlocks_;
        if (faults_.badStatePerBlock)
            badStatePending_ = true;
        return true;
    };
}

void Probe::Impl::lookAtBoardFile() {
    if (options_.boards.mode != BoardSwaps::Mode::File)
        return;
    // Read whole each time: a few microseconds against a USB transfer's hundred, and a person
    // may change it between any two commands.
    std::string text;
    if (FILE* file = std::fopen(options_.boards.file.c_str(), "re")) {
        char buffer[512];
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
        std::fclose(file);
        text.assign(buffer, got);
    }
    if (boardFileRead_ && text == boardFileText_)
        return;
    boardFileRead_ = true;
    boardFileText_ = text;
    // The first line: "none" (or nothing, or no file) or "NAME [FAULT,...]".
    const std::string_view line = std::string_view(text).substr(0, text.find('\n'));
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t\r", at);
        if (start == std::string_view::npos)
            break;
        const std::size_t end = std::min(line.find_first_of(" \t\r", start), line.size());
        words.emplace_back(line.substr(start, end - start));
        at = end;
    }
    const auto validName = [](const std::string& name) {
        if (name.empty() || name.size() > 64 || !std::isalpha(static_cast<unsigned char>(name[0])))
            return false;
        return std::all_of(name.begin(), name.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
        });
    };
    std::optional<Board> board;
    std::string trouble;
    if (words.size() > 2)
        trouble = "expected NAME and at most one comma-separated list of faults";
    else if (!words.empty() && words[0] != "none" && !validName(words[0]))
        trouble = "a board's name is a letter, then letters, digits, - or _ (at most 64)";
    else if (!words.empty() && words[0] != "none")
        board = Board{words[0], words.size() > 1 ? words[1] : std::string()};
    if (board) {
        try {
            Faults scratch;
            applyFaults(scratch, board->faults, "board faults", true);
        } catch (const std::invalid_argument& error) {
            trouble = error.what();
            board.reset();
        }
    }
    if (board == board_ && trouble.empty())
        return;
    try {
        putOn(board);
    } catch (const std::exception& error) {
        trouble = error.what(); // its memory file cannot be used
    }
    if (!trouble.empty())
        std::fprintf(stderr, "kw-emu: board file %s: %s; nothing on the probe\n",
                     options_.boards.file.c_str(), trouble.c_str());
}

void Probe::Impl::entryAttempt() {
    lookAtBoardFile();
    const BoardSwaps& swaps = options_.boards;
    if (swaps.mode != BoardSwaps::Mode::Auto || board_ || boardsPutOn_ >= swaps.count)
        return;
    if (gapLeft_ > 0) {
        --gapLeft_;
        return;
    }
    const int number = boardsPutOn_ + 1;
    const bool faulty =
        std::find(swaps.faulty.begin(), swaps.faulty.end(), number) != swaps.faulty.end();
    putOn(Board{"board" + std::to_string(number), faulty ? swaps.faultyFaults : std::string()});
}

void Probe::Impl::sessionEnded() {
    if (!sessionOpen_)
        return;
    sessionOpen_ = false;
    if (options_.boards.mode != BoardSwaps::Mode::Auto || !board_ || --sessionsLeft_ > 0)
        return;
    trace("session over: board %s taken off", board_->name.c_str());
    putOn(std::nullopt);
    gapLeft_ = options_.boards.gap;
}

void Probe::Impl::trace(const char* format, ...) const {
    if (!options_.trace)
        return;
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "kw-emu #%lld: ", transfers_);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

int Probe::Impl::open() {
    if (!present())
        return LIBUSB_ERROR_NO_DEVICE;
    if (faults_.accessDenied)
        return LIBUSB_ERROR_ACCESS;
    open_ = true;
    return 0;
}

void Probe::Impl::close() {
    if (claimed_)
        releaseInterface(0);
    open_ = false;
}

int Probe::Impl::claimInterface(int interfaceNumber) {
    if (!present())
        return LIBUSB_ERROR_NO_DEVICE;
    if (interfaceNumber != 0)
        // V2 has only the debug interface; on the composite probes the others belong to the
        // kernel's mass storage and serial drivers.
        return generation_ == Generation::V2 ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_BUSY;
    if (claimed_)
        return 0;
    if (faults_.claimBusy || !memory_.tryLock())
        return LIBUSB_ERROR_BUSY;
    try {
        memory_.reload(); // the chip as the last program left it
        if (chipMemory_ != &memory_)
            chipMemory_->reload();
    } catch (...) {
        memory_.unlock();
        throw;
    }
    claimed_ = true;
    return 0;
}

int Probe::Impl::releaseInterface(int interfaceNumber) {
    if (interfaceNumber != 0 || !claimed_)
        return LIBUSB_ERROR_NOT_FOUND;
    claimed_ = false;
    sessionEnded(); // the client has let go
    memory_.unlock();
    return 0;
}

int Probe::Impl::resetDevice() {
    if (!present())
        return LIBUSB_ERROR_NO_DEVICE;
    writeMissing_ = 0;
    replyPending_ = false;
    if (stuck_)
        trace("USB reset: the probe answers again");
    stuck_ = false;
    return 0;
}

Nanos Probe::Impl::transferCost(int length) const {
    // Full speed (V2, V2-1) moves about 1 MB/s of bulk payload; V3 is high speed.
    const Nanos perByte = generation_ == Generation::V3 ? 25 : 1000;
    return static_cast<Nanos>(options_.usbTransferMicros) * kMicro + perByte * length;
}

int Probe::Impl::waitForTimeout(unsigned timeoutMs) {
    clock_.spend(timeoutMs == 0 ? kUnlimitedTimeout : static_cast<Nanos>(timeoutMs) * kMilli);
    return LIBUSB_ERROR_TIMEOUT;
}

int Probe::Impl::bulkTransfer(unsigned char endpoint, unsigned char* data, int length,
                              int* transferred, unsigned timeoutMs) {
    int ignored = 0;
    if (transferred == nullptr)
        transferred = &ignored;
    *transferred = 0;
    if (length < 0 || (data == nullptr && length > 0))
        return LIBUSB_ERROR_INVALID_PARAM;
    const long long number = transfers_++;
    if (!present())
        return LIBUSB_ERROR_NO_DEVICE;
    const Faults& faults = faults_;
    if (faults.usbTimeoutFromTransfer >= 0 && number >= faults.usbTimeoutFromTransfer)
        return waitForTimeout(timeoutMs);
    const bool cutShort = faults.shortTransferAt >= 0 && number == faults.shortTransferAt;

    clock_.spend(transferCost(length));
    if (endpoint == outEndpoint()) {
        if (cutShort) {
            *transferred = length / 2; // the probe saw a broken frame and dropped it
            return LIBUSB_ERROR_TIMEOUT;
        }
        const int result = handleOut(data, length, transferred);
        return unplugged_ ? LIBUSB_ERROR_NO_DEVICE : result;
    }
    if (endpoint == 0x81)
        return handleIn(data, length, transferred, timeoutMs, cutShort);
    if (endpoint == traceEndpoint())
        return waitForTimeout(timeoutMs); // SWIM has no trace data
    return LIBUSB_ERROR_IO;
}

int Probe::Impl::handleOut(const unsigned char* data, int length, int* transferred) {
    *transferred = length;
    if (writeMissing_ > 0) {
        // The data phase of a SWIM write. The probe reads exactly what the write announced:
        // whatever comes next, a command frame included, is taken as data until then.
        const std::size_t take = std::min(writeMissing_, static_cast<std::size_t>(length));
        writeData_.insert(writeData_.end(), data, data + take);
        writeMissing_ -= take;
        if (writeMissing_ == 0)
            startWrite();
        return 0;
    }
    if (length == 0)
        return 0;
    if (stuck_) {
        trace("stuck probe swallows a %d-byte frame", length);
        return 0;
    }
    if (generation_ == Generation::V3 && static_cast<std::size_t>(length) < kFrameSize) {
        trace("V3 ignores a %d-byte command frame", length);
        return 0;
    }
    std::array<std::uint8_t, kFrameSize> frame{};
    std::copy_n(data, std::min(kFrameSize, static_cast<std::size_t>(length)), frame.begin());
    handleCommand(frame);
    return 0;
}

int Probe::Impl::handleIn(unsigned char* data, int length, int* transferred, unsigned timeoutMs,
                          bool cutShort) {
    if (!replyPending_)
        return waitForTimeout(timeoutMs); // nothing to send: the IN request just waits
    const auto wanted = static_cast<std::size_t>(length);
    const std::size_t packet = generation_ == Generation::V3 ? 512 : 64;
    if (wanted < reply_.size() && wanted % packet != 0) {
        // The probe sends a packet longer than the host asked for.
        replyPending_ = false;
        return LIBUSB_ERROR_OVERFLOW;
    }
    std::size_t count = std::min(wanted, reply_.size());
    if (cutShort)
        count /= 2;
    std::copy_n(reply_.begin(), count, data);
    *transferred = static_cast<int>(count);
    if (count < reply_.size() && !cutShort)
        reply_.erase(reply_.begin(), reply_.begin() + static_cast<std::ptrdiff_t>(count));
    else
        replyPending_ = false;
    return 0;
}

void Probe::Impl::reply(std::vector<std::uint8_t> bytes) {
    reply_ = std::move(bytes);
    replyPending_ = true;
}

void Probe::Impl::setMode(std::uint8_t mode) {
    memory_.probeMode = mode;
    memory_.saveProbe();
}

std::vector<std::uint8_t> Probe::Impl::versionReply() const {
    // Big-endian u16: stlink version (4 bits) and two 6-bit fields, then VID and PID.
    // ST-LINK/V2: JTAG and SWIM versions. V2-1 firmware reports JTAG/MSD when built for STM32
    // targets and MSD/SWIM when built for STM8 ones. V3 answers zeros here and the truth in FB.
    unsigned stlink = 2, x = 37, y = swimCapable() ? 7 : 0;
    if (generation_ == Generation::V21) {
        x = swimCapable() ? 25 : 40;
        y = swimCapable() ? 7 : 27;
    } else if (generation_ == Generation::V3) {
        stlink = 3;
        x = y = 0;
    }
    const unsigned word = (stlink << 12) | (x << 6) | y;
    return {static_cast<std::uint8_t>(word >> 8),
            static_cast<std::uint8_t>(word),
            static_cast<std::uint8_t>(kVendorSt),
            static_cast<std::uint8_t>(kVendorSt >> 8),
            static_cast<std::uint8_t>(options_.productId),
            static_cast<std::uint8_t>(options_.productId >> 8)};
}

std::vector<std::uint8_t> Probe::Impl::extendedVersionReply() const {
    const std::uint16_t pid = options_.productId;
    const bool bridge = pid == kPidV3S || pid == kPidV3TwoVcp;
    return {3,
            static_cast<std::uint8_t>(swimCapable() ? 1 : 0),
            7, // JTAG
            static_cast<std::uint8_t>(pid == kPidV3ENoMsd ? 0 : 3),
            static_cast<std::uint8_t>(bridge ? 2 : 0),
            0,
            0,
            0,
            static_cast<std::uint8_t>(kVendorSt),
            static_cast<std::uint8_t>(kVendorSt >> 8),
            static_cast<std::uint8_t>(pid),
            static_cast<std::uint8_t>(pid >> 8)};
}

void Probe::Impl::handleCommand(const std::array<std::uint8_t, kFrameSize>& frame) {
    replyPending_ = false; // a new command drops an answer nobody read
    switch (frame[0]) {
    case 0xF1:
        trace("F1 version");
        reply(versionReply());
        break;
    case 0xFB:
        if (generation_ == Generation::V3)
            reply(extendedVersionReply());
        break;
    case 0xF5: {
        // Observed by stm8flash users: a V2 in DFU answers 00 01, in other modes <mode> 00; a
        // V3 answered 01 03 in mass storage mode. A V3 has no DFU mode of its own (its boot
        // loader is another product ID), so it reports mass storage where a V2 reports DFU.
        std::uint8_t mode = memory_.probeMode;
        std::uint8_t second = mode == kModeDfu ? 1 : 0;
        if (generation_ == Generation::V3) {
            mode = mode == kModeDfu ? kModeMass : mode;
            second = 3;
        }
        trace("F5 mode -> %u %u", mode, second);
        reply({mode, second});
        break;
    }
    case 0xF7: {
        // volts = 2 * a1 * 1.2 / a0: 3.3 V with a powered target, 0 V without one.
        lookAtBoardFile();
        const std::uint32_t a0 = 1600, a1 = !board_ || faults_.targetAbsent ? 0 : 2200;
        reply({static_cast<std::uint8_t>(a0), static_cast<std::uint8_t>(a0 >> 8), 0, 0,
               static_cast<std::uint8_t>(a1), static_cast<std::uint8_t>(a1 >> 8), 0, 0});
        break;
    }
    case 0xF3:
        if (frame[1] == 0x07 && memory_.probeMode == kModeDfu)
            setMode(kModeMass);
        trace("F3 %02X", frame[1]);
        break;
    case 0xF2:
        // Only entering and leaving debug (SWD/JTAG) mode, so that a client meets a probe
        // another tool left in debug mode; the debug commands themselves are not emulated.
        if (frame[1] == 0x30 && memory_.probeMode != kModeSwim) {
            setMode(kModeDebug);
            reply({0x80, 0x00});
        } else if (frame[1] == 0x21 && memory_.probeMode == kModeDebug) {
            setMode(kModeMass);
        }
        trace("F2 %02X", frame[1]);
        break;
    case 0xF4:
        handleSwimCommand(frame);
        // A reset with SWIM_CSR.RST ends the session on the chip's side.
        if (sessionOpen_ && !chip_->swimActive())
            sessionEnded();
        break;
    default:
        trace("unknown command %02X ignored", frame[0]);
        break;
    }
}

bool Probe::Impl::linkUp() const {
    return targetAnswers() && chip_->swimActive() && chip_->highSpeed() == memory_.probeHighSpeed;
}

Nanos Probe::Impl::swimStart() {
    return std::max(clock_.now(), swimFreeAt_);
}

void Probe::Impl::finishSwimOperation(Nanos end, std::uint8_t status) {
    swimFreeAt_ = end;
    swimStatus_ = status;
    transferBytes_ = 0;
}

std::uint16_t Probe::Impl::bytesDone(Nanos now) const {
    // Spread evenly over the transfer: a client only sees that the count grows.
    if (transferBytes_ == 0 || now <= transferFrom_ || swimFreeAt_ <= transferFrom_)
        return 0;
    const auto done = static_cast<std::size_t>(
        static_cast<long double>(now - transferFrom_) * static_cast<long double>(transferBytes_) /
        static_cast<long double>(swimFreeAt_ - transferFrom_));
    return static_cast<std::uint16_t>(std::min(done, transferBytes_ - 1));
}

std::uint8_t Probe::Impl::injectedFailure(long long command) {
    const Faults& faults = faults_;
    if (command == faults.badStateAtCommand)
        return kStatusBadState;
    if (badStatePending_) {
        badStatePending_ = false;
        return kStatusBadState;
    }
    if (faults.flakyHighSpeed && memory_.probeHighSpeed && highSpeedCommands_++ % 3 == 2)
        return kStatusNoResponse;
    return kStatusOk;
}

void Probe::Impl::handleSwimCommand(const std::array<std::uint8_t, kFrameSize>& frame) {
    const std::uint8_t command = frame[1];
    if (command == 0x00) {
        // Clients leave DFU or debug mode first (F3 07, F2 21), as OpenOCD does; a probe still
        // in debug mode stays there.
        const bool enters = swimCapable() && memory_.probeMode != kModeDebug;
        if (enters)
            setMode(kModeSwim);
        trace("F4 00 enter SWIM mode%s", enters ? "" : ": refused");
        return;
    }
    if (memory_.probeMode != kModeSwim) {
        trace("F4 %02X outside SWIM mode ignored", command);
        return;
    }
    const Nanos header = kHeaderBits * bitTime();
    switch (command) {
    case 0x01:
        trace("F4 01 exit SWIM mode");
        if (resetAsserted_) {
            resetAsserted_ = false;
            chip_->setResetPin(false); // the probe lets go of NRST
        }
        setMode(kModeMass);
        sessionEnded();
        break;
    case 0x02:
        reply({0x00, 0x01, 0x02, 0x07, 0x00, 0x00, 0x00, 0x00});
        break;
    case 0x03: {
        memory_.probeHighSpeed = frame[2] != 0;
        memory_.saveProbe();
        // Changing the probe's clock is local, but the link only works at the chip's speed.
        const bool mismatch = chip_->swimActive() && chip_->highSpeed() != memory_.probeHighSpeed;
        trace("F4 03 %s speed%s", frame[2] ? "high" : "low", mismatch ? ": mismatch" : "");
        finishSwimOperation(swimStart(), mismatch ? kStatusNoResponse : kStatusOk);
        break;
    }
    case 0x04: {
        const Nanos start = swimStart();
        entryAttempt(); // a board may have been put on or taken off
        if (targetAnswers()) {
            chip_->swimEntry();
            sessionOpen_ = true;
            memory_.probeHighSpeed = false;
            memory_.saveProbe();
        }
        trace("F4 04 entry sequence%s", targetAnswers() ? "" : ": no answer");
        finishSwimOperation(start + kEntrySequence,
                            targetAnswers() ? kStatusOk : kStatusNoResponse);
        break;
    }
    case 0x05: {
        lookAtBoardFile();
        const bool up = linkUp();
        if (up)
            chip_->swimSystemReset();
        trace("F4 05 SWIM reset%s", up ? "" : ": no answer");
        finishSwimOperation(swimStart() + kSwimResetTime, up ? kStatusOk : kStatusNoResponse);
        break;
    }
    case 0x06:
        lookAtBoardFile();
        trace("F4 06 resynchronise");
        finishSwimOperation(swimStart() + kResyncTime, linkUp() ? kStatusOk : kStatusNoResponse);
        break;
    case 0x07:
    case 0x08:
        resetAsserted_ = command == 0x07;
        chip_->setResetPin(resetAsserted_);
        trace("F4 %02X NRST %s", command, resetAsserted_ ? "low" : "released");
        finishSwimOperation(swimStart() + kPinTime, kStatusOk);
        break;
    case 0x09: {
        // While busy, bytes 1-2 count the bytes of a read or write done so far (little
        // endian); once done, only byte 0 speaks.
        const Nanos now = clock_.now();
        const bool busy = now < swimFreeAt_;
        const std::uint16_t count = busy ? bytesDone(now) : 0;
        reply({busy ? kStatusBusy : swimStatus_, static_cast<std::uint8_t>(count),
               static_cast<std::uint8_t>(count >> 8), 0});
        break;
    }
    case 0x0A:
    case 0x0B: {
        const std::size_t length = bigEndian(&frame[2], 2);
        const std::uint32_t address = bigEndian(&frame[4], 4);
        if (length == 0 || length > kSwimBufferSize) {
            trace("F4 %02X length %zu refused", command, length);
            finishSwimOperation(swimStart() + header, kStatusRefused);
            break;
        }
        if (command == 0x0B) {
            startRead(address, length);
            break;
        }
        writeAddress_ = address;
        const std::size_t inFrame = std::min(length, kFrameData);
        writeData_.assign(frame.begin() + 8,
                          frame.begin() + 8 + static_cast<std::ptrdiff_t>(inFrame));
        writeMissing_ = length - inFrame;
        if (writeMissing_ == 0)
            startWrite();
        break;
    }
    case 0x0C:
        if (!pendingRead_.empty() && clock_.now() >= pendingReadAt_) {
            std::copy(pendingRead_.begin(), pendingRead_.end(), readBuffer_.begin());
            pendingRead_.clear();
        }
        // Asked too early, the buffer still holds what an earlier read left there.
        reply(std::vector<std::uint8_t>(
            readBuffer_.begin(), readBuffer_.begin() + static_cast<std::ptrdiff_t>(readLength_)));
        break;
    case 0x0D:
        reply({static_cast<std::uint8_t>(kSwimBufferSize),
               static_cast<std::uint8_t>(kSwimBufferSize >> 8)});
        break;
    default:
        trace("F4 %02X unknown, ignored", command);
        break;
    }
}

void Probe::Impl::startWrite() {
    lookAtBoardFile();
    const Nanos start = swimStart();
    const std::size_t length = writeData_.size();
    const long long command = memoryCommands_++;
    if (!linkUp()) {
        trace("F4 0A write %zu at %06X: no answer", length, writeAddress_);
        finishSwimOperation(start + kHeaderBits * bitTime(), kStatusNoResponse);
        return;
    }
    if (const std::uint8_t failure = injectedFailure(command); failure != kStatusOk) {
        trace("F4 0A write %zu at %06X: injected status %02X", length, writeAddress_, failure);
        finishSwimOperation(start + kHeaderBits * bitTime(), failure);
        return;
    }
    const Nanos perByte = kBitsPerByte * bitTime();
    const Nanos headers =
        static_cast<Nanos>((length + kBytesPerSwimCommand - 1) / kBytesPerSwimCommand) *
        kHeaderBits * bitTime();
    const Stm8s103::Access access =
        chip_->write(writeAddress_, writeData_.data(), length, start + headers, perByte);
    swimBytes_ += static_cast<long long>(length);
    trace("F4 0A write %zu at %06X, %s at %.3f ms", length, writeAddress_,
          access.refused ? "refused while programming" : "done",
          static_cast<double>(access.end) / 1e6);
    if (access.refused)
        ++busyRefusals_;
    finishSwimOperation(access.end, access.refused    ? kStatusBadState
                                    : targetAnswers() ? kStatusOk
                                                      : kStatusNoResponse);
    transferFrom_ = start;
    transferBytes_ = length;
}

void Probe::Impl::startRead(std::uint32_t address, std::size_t length) {
    lookAtBoardFile();
    const Nanos start = swimStart();
    readLength_ = length;
    const long long command = memoryCommands_++;
    if (!linkUp()) {
        trace("F4 0B read %zu at %06X: no answer", length, address);
        finishSwimOperation(start + kHeaderBits * bitTime(), kStatusNoResponse);
        return;
    }
    if (const std::uint8_t failure = injectedFailure(command); failure != kStatusOk) {
        trace("F4 0B read %zu at %06X: injected status %02X", length, address, failure);
        finishSwimOperation(start + kHeaderBits * bitTime(), failure);
        return;
    }
    std::vector<std::uint8_t> bytes(length, 0);
    const Nanos perByte = kBitsPerByte * bitTime();
    const Nanos headers =
        static_cast<Nanos>((length + kBytesPerSwimCommand - 1) / kBytesPerSwimCommand) *
        kHeaderBits * bitTime();
    const Stm8s103::Access access =
        chip_->read(address, bytes.data(), length, start + headers, perByte);
    swimBytes_ += static_cast<long long>(length);
    trace("F4 0B read %zu at %06X, %s at %.3f ms", length, address,
          access.refused ? "refused while programming" : "done",
          static_cast<double>(access.end) / 1e6);
    if (access.refused) {
        // Nothing reaches the probe's buffer: it keeps what an earlier read left there.
        ++busyRefusals_;
        pendingRead_.clear();
        finishSwimOperation(access.end, kStatusBadState);
    } else {
        pendingRead_ = std::move(bytes);
        pendingReadAt_ = access.end;
        finishSwimOperation(access.end, kStatusOk);
    }
    transferFrom_ = start;
    transferBytes_ = length;
}

std::vector<std::uint8_t> Probe::Impl::peek(std::uint32_t address, std::size_t length) const {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = chip_->peek(address + static_cast<std::uint32_t>(i));
    return bytes;
}

void Probe::Impl::poke(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        chip_->poke(address + static_cast<std::uint32_t>(i), bytes[i]);
}

Statistics Probe::Impl::statistics() {
    Statistics s;
    s.transfers = transfers_;
    s.blockProgrammings = blockProgrammings_;
    s.eepromOperations = chip_->eepromOperations();
    s.optionOperations = chip_->optionOperations();
    s.swimBytes = swimBytes_;
    s.emulatedSeconds = static_cast<double>(clock_.now()) / 1e9;
    s.cpuRunning = chip_->cpuRunning();
    s.optionByteError = chip_->optionByteError();
    s.board = board_ ? board_->name : std::string();
    s.boardsPutOn = boardsPutOn_;
    s.chipResets = chip_->resets();
    s.busyRefusals = busyRefusals_;
    return s;
}

Probe::Probe(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Probe::~Probe() = default;

std::uint16_t Probe::vendorId() const {
    return kVendorSt;
}

std::uint16_t Probe::productId() const {
    return impl_->productId();
}

Generation Probe::generation() const {
    return impl_->generation();
}

bool Probe::present() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->present();
}

int Probe::open() {
    std::lock_guard lock(impl_->mutex);
    return impl_->open();
}

void Probe::close() {
    std::lock_guard lock(impl_->mutex);
    impl_->close();
}

int Probe::claimInterface(int interfaceNumber) {
    std::lock_guard lock(impl_->mutex);
    return guarded([&] { return impl_->claimInterface(interfaceNumber); });
}

int Probe::releaseInterface(int interfaceNumber) {
    std::lock_guard lock(impl_->mutex);
    return impl_->releaseInterface(interfaceNumber);
}

int Probe::resetDevice() {
    std::lock_guard lock(impl_->mutex);
    return impl_->resetDevice();
}

int Probe::bulkTransfer(unsigned char endpoint, unsigned char* data, int length, int* transferred,
                        unsigned timeoutMs) {
    std::lock_guard lock(impl_->mutex);
    return guarded(
        [&] { return impl_->bulkTransfer(endpoint, data, length, transferred, timeoutMs); });
}

std::vector<std::uint8_t> Probe::peek(std::uint32_t address, std::size_t length) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->peek(address, length);
}

void Probe::poke(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(impl_->mutex);
    impl_->poke(address, bytes);
}

Statistics Probe::statistics() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->statistics();
}

} // namespace kw::emu
