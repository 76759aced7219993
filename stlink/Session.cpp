#include "stlink/Session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

namespace kw::stlink {

namespace {

constexpr std::uint32_t kFlashBase = kLargestChip.flashBase;
// A 4 KB chip has no flash from here on.
constexpr std::uint32_t kSmallFlashEnd = kStm8s103f2.flashEnd();
constexpr int kChipBlock = Stm8::kBlockSize;
constexpr int kMaxProbes = 16;
// Enough bytes of a block to tell, nearly always, that a changed image changes it too.
constexpr int kLookaheadPrefix = 4;

// Lines for someone watching from a terminal: which probe a transfer uses, and why it failed.
// Off unless asked for with TOLVANEX_STLINK_LOG=1, so that a host's own terminal output (a
// command line's progress bar) is never broken into.
template <class... Args> void logLine(const char* format, Args... args) {
    static const bool wanted = [] {
        const char* value = std::getenv("TOLVANEX_STLINK_LOG");
        return value != nullptr && std::string_view(value) == "1";
    }();
    if (!wanted)
        return;
    std::fprintf(stderr, "TOLVANEX.dll: ");
    std::fprintf(stderr, format, args...);
    std::fputc('\n', stderr);
}

bool allBytes(const std::uint8_t* data, int length, std::uint8_t value) {
    return std::all_of(data, data + length, [value](std::uint8_t byte) { return byte == value; });
}

// What the tool sends past the end of an image: a whole block of erased bytes of either kind.
bool isPadding(const std::uint8_t* data) {
    return allBytes(data, kChipBlock, 0xFF) || allBytes(data, kChipBlock, 0x00);
}

bool validBlock(std::int32_t offset, const std::uint8_t* block, int blockSize) {
    return block != nullptr && offset >= 0 && offset <= Session::kFlashLength - blockSize &&
           offset % blockSize == 0;
}

Reason openFailureReason(int usbResult) {
    switch (usbResult) {
    case kUsbErrorAccess:
        return Reason::NoPermission;
    case kUsbErrorBusy:
        return Reason::ProbeBusy;
    default:
        return Reason::ProbeUnresponsive;
    }
}

} // namespace

Session::Session(std::unique_ptr<UsbPort> port, Settings settings)
    : port_(std::move(port)), settings_(settings) {}

Session::~Session() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable())
        worker_.join();
    close();
}

std::optional<Reason> Session::failure() const {
    const std::lock_guard lock(mutex_);
    return failure_;
}

// The first failure of a session is the one every later call reports.
void Session::fail(Reason reason) {
    {
        const std::lock_guard lock(mutex_);
        if (failure_)
            return;
        failure_ = reason;
    }
    logLine("error %d: %s", static_cast<int>(codeOf(reason)), textOf(reason));
}

ResultCode Session::guarded(const std::function<void()>& work) {
    if (const auto failed = failure())
        return codeOf(*failed);
    try {
        work();
    } catch (const Failure& failure) {
        fail(failure.reason());
    } catch (const std::exception&) {
        fail(Reason::ProbeLost);
    }
    const auto failed = failure();
    return failed ? codeOf(*failed) : kDone;
}

void Session::runWorker() {
    std::unique_lock lock(mutex_);
    for (;;) {
        // A job handed over before the library goes away still runs: its call returned 0.
        changed_.wait(lock, [this] { return stopping_ || job_; });
        if (!job_)
            return;
        const std::function<void()> job = std::move(job_);
        job_ = nullptr;
        running_ = true;
        changed_.notify_all();
        lock.unlock();
        guarded(job);
        lock.lock();
        running_ = false;
        changed_.notify_all();
    }
}

void Session::post(std::function<void()> job) {
    if (!worker_.joinable())
        worker_ = std::thread([this] { runWorker(); });
    {
        const std::lock_guard lock(mutex_);
        job_ = std::move(job);
    }
    changed_.notify_all();
}

bool Session::waitFor(bool wholeQueue) {
    // Every USB transfer and poll of a job has its own limit, so a job ends well within this
    // unless something hangs below libusb.
    constexpr auto kLimit = std::chrono::milliseconds(250);
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLimit,
                             [this, wholeQueue] { return !job_ && (!wholeQueue || !running_); });
}

void Session::openProbe() {
    std::optional<Reason> reason;
    for (int index = 0; index < kMaxProbes; ++index) {
        std::unique_ptr<UsbLink> link;
        const int result = port_->open(index, link);
        if (result == kUsbErrorNotFound)
            break;
        if (result != kUsbSuccess || !link) {
            reason = reason.value_or(openFailureReason(result));
            continue;
        }
        auto probe = std::make_unique<StLink>(std::move(link));
        FirmwareVersion version;
        try {
            version = probe->readVersion();
        } catch (const Failure&) {
            reason = reason.value_or(Reason::ProbeUnresponsive);
            continue;
        }
        if (version.swim == 0) {
            reason = reason.value_or(Reason::NoSwim);
            continue;
        }
        probe_ = std::move(probe);
        char text[160];
        std::snprintf(text, sizeof text, "%s (%04x:%04x), firmware V%d J%d S%d",
                      probe_->model().name, kStVendorId, probe_->model().productId, version.stlink,
                      version.jtag, version.swim);
        description_ = text;
        return;
    }
    throw Failure(reason.value_or(Reason::NoProbe));
}

void Session::connect() {
    if (chip_)
        return;
    openProbe();
    probe_->enterSwim();
    chip_ = std::make_unique<Stm8>(*probe_);
    chip_->connect(settings_.highSpeed);
    description_ += chip_->highSpeed() ? ", SWIM high speed" : ", SWIM low speed";
    logLine("%s", description_.c_str());
    if (chip_->readOutProtected())
        throw Failure(Reason::ReadOutProtected);
}

ResultCode Session::write(std::int32_t offset, const std::uint8_t* block) {
    // One call's blocks may wait while the last call's are programmed, so the worker has the
    // next blocks at hand through the tool's pauses.
    if (!waitFor(false))
        fail(Reason::ProbeLost);
    // Connecting here rather than in the worker reports a missing probe or chip at block 0.
    const ResultCode connected = guarded([this] { connect(); });
    if (connected != kDone)
        return connected;
    Block128 data;
    std::copy_n(block, data.size(), data.begin());
    post([this, offset, data] { writeBlocks(offset, data); });
    if (offset != kLastWriteOffset)
        return kDone;
    if (!waitFor(true))
        fail(Reason::ProbeLost);
    const auto failed = failure();
    return failed ? codeOf(*failed) : kDone;
}

void Session::writeBlocks(std::int32_t offset, const Block128& data) {
    cached_ = 0;
    for (std::ptrdiff_t half = 0; half < 2; ++half) {
        const std::uint32_t address =
            kFlashBase + static_cast<std::uint32_t>(offset + half * kChipBlock);
        if (heldKnown(address) == 0)
            fetchHeld(address, half == 0 ? 2 * kChipBlock : kChipBlock);
        program(address, data.data() + half * kChipBlock);
    }
    if (offset == kLastWriteOffset)
        finish();
}

int Session::heldKnown(std::uint32_t address) const {
    const auto at = static_cast<int>(address - kFlashBase);
    return at >= heldFrom_ && at < heldTo_ ? std::min(kChipBlock, heldTo_ - at) : 0;
}

void Session::fetchHeld(std::uint32_t address, int length) {
    const auto at = static_cast<int>(address - kFlashBase);
    if (inFlight_ && inFlight_->address + kChipBlock == address) {
        // Blocks come in order: the read that checks the block still programming also
        // fetches the start of the next one.
        length = std::min(lookahead_, kFlashLength - at);
        settle(length);
    } else {
        settle();
        length = std::min(length, kFlashLength - at);
        chip_->read(address, held_.data() + at, length);
    }
    heldFrom_ = at;
    heldTo_ = at + length;
}

void Session::program(std::uint32_t address, const std::uint8_t* data) {
    const auto at = static_cast<int>(address - kFlashBase);
    const std::uint8_t* current = held_.data() + at;
    int known = heldKnown(address);
    // A few bytes settle it when they differ from the data and are not all erased; otherwise
    // the whole block decides whether to program it and whether the fast mode may.
    if (known < kChipBlock &&
        (std::equal(data, data + known, current) || allBytes(current, known, 0x00))) {
        settle();
        chip_->read(address + static_cast<std::uint32_t>(known), held_.data() + at + known,
                    kChipBlock - known);
        known = kChipBlock;
    }
    heldFrom_ = at + kChipBlock; // what this block held is no longer needed
    const bool unchanged = known == kChipBlock && std::equal(data, data + kChipBlock, current);
    const bool erased = known == kChipBlock && allBytes(current, kChipBlock, 0x00);
    lookahead_ = unchanged || erased ? kChipBlock : kLookaheadPrefix;
    if (unchanged)
        return;
    // The flash controller programs one block at a time.
    settle();
    if (smallChip_ && address >= kSmallFlashEnd) {
        if (!isPadding(data))
            throw Failure(Reason::ImageTooLarge);
        return;
    }
    if (!unlocked_) {
        chip_->unlockFlash();
        unlocked_ = true;
    }
    chip_->startBlock(address, data, erased);
    Block block;
    block.address = address;
    std::copy_n(data, kChipBlock, block.data.begin());
    inFlight_ = block;
}

void Session::settle(int lookahead) {
    if (!inFlight_)
        return;
    const Block block = *inFlight_;
    inFlight_.reset();
    std::array<std::uint8_t, std::size_t{2} * kChipBlock> got{};
    chip_->waitForBlock();
    chip_->read(block.address, got.data(), kChipBlock + lookahead, Reason::ProgramTimeout);
    verify(block, got.data());
    const auto next = static_cast<std::ptrdiff_t>(block.address - kFlashBase) + kChipBlock;
    std::copy_n(got.begin() + kChipBlock, lookahead, held_.begin() + next);
}

void Session::verify(const Block& block, std::uint8_t* held) {
    if (std::equal(block.data.begin(), block.data.end(), held))
        return;
    // Before judging: the chip may have refused the block, or, slower than typical, not be
    // done with it yet.
    if (chip_->blockRefused())
        throw Failure(Reason::WriteProtected);
    chip_->read(block.address, held, kChipBlock);
    if (std::equal(block.data.begin(), block.data.end(), held))
        return;
    // A 4 KB chip has no flash past 4 KB: programming there stores nothing and the range reads
    // as erased. That is fine for the tool's padding, and a clean failure for real data.
    if (block.address >= kSmallFlashEnd && allBytes(held, kChipBlock, 0x00)) {
        smallChip_ = true;
        if (isPadding(block.data.data()))
            return;
        throw Failure(Reason::ImageTooLarge);
    }
    throw Failure(Reason::VerifyMismatch);
}

ResultCode Session::read(std::int32_t offset, std::uint8_t* block) {
    if (!waitFor(true))
        fail(Reason::ProbeLost);
    return guarded([&] {
        connect();
        settle();
        const int end = offset + kGetFlashDataBlockSize;
        while (cached_ < end) {
            const int piece = std::min(chip_->maxTransfer(), kFlashLength - cached_);
            chip_->read(kFlashBase + static_cast<std::uint32_t>(cached_),
                        readCache_.data() + cached_, piece);
            cached_ += piece;
        }
        std::copy_n(readCache_.begin() + offset, kGetFlashDataBlockSize, block);
        if (offset == kLastReadOffset)
            finish();
    });
}

void Session::finish() {
    settle();
    if (unlocked_) {
        chip_->relockFlash();
        unlocked_ = false;
    }
    chip_->resetAndRelease();
    chip_.reset();
    probe_.reset();
    port_.reset();
    finished_ = true;
}

void Session::close() noexcept {
    if (probe_) {
        try {
            const auto failed = failure();
            const Code code = failed ? codeOf(*failed) : kDone;
            if (code == kTargetSilent) {
                // The failure may have come while the probe held the chip in reset.
                try {
                    probe_->releaseReset();
                } catch (const Failure&) {
                }
                probe_->exitSwim();
            } else if (chip_ && code != kProbeLost && code != kNoProgrammer) {
                if (inFlight_) {
                    inFlight_.reset();
                    chip_->waitForBlock();
                }
                if (unlocked_)
                    chip_->relockFlash();
                chip_->resetAndRelease();
            }
        } catch (const std::exception&) {
            // Best effort: the transfer already has its result.
        }
    }
    chip_.reset();
    probe_.reset();
    port_.reset();
}

Programmer::Programmer(PortFactory ports, SettingsSource settings)
    : ports_(std::move(ports)), settings_(std::move(settings)) {}

Session& Programmer::sessionAt(std::int32_t offset) {
    // Every transfer starts at offset 0, so that call starts a new session even if the
    // library was not unloaded after the last one.
    if (!session_ || offset == 0 || session_->finished()) {
        session_.reset();
        session_ = std::make_unique<Session>(ports_(), settings_());
    }
    return *session_;
}

ResultCode Programmer::setFlashData(std::int32_t offset, const std::uint8_t* block) {
    if (!validBlock(offset, block, kSetFlashDataBlockSize)) {
        lastFailure_ = Reason::BadArgument;
        return kBadArgument;
    }
    Session& session = sessionAt(offset);
    return note(session.write(offset, block));
}

ResultCode Programmer::getFlashData(std::int32_t offset, std::uint8_t* block) {
    if (!validBlock(offset, block, kGetFlashDataBlockSize)) {
        lastFailure_ = Reason::BadArgument;
        return kBadArgument;
    }
    Session& session = sessionAt(offset);
    return note(session.read(offset, block));
}

ResultCode Programmer::note(ResultCode result) {
    if (result != kDone)
        lastFailure_ = session_->failure();
    return result;
}

int Programmer::errorText(int code, char* buffer, int size) const noexcept {
    Reason reason{};
    if (lastFailure_ && codeOf(*lastFailure_) == code)
        reason = *lastFailure_;
    else if (!defaultReasonOf(code, reason))
        return 0;
    return copyTextCut(textOf(reason), buffer, size);
}

void Programmer::end() noexcept {
    session_.reset();
}

} // namespace kw::stlink
