#include "stlink/Session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#endif

#include "stlink/Log.h"

namespace kw::stlink {

namespace {

constexpr std::uint32_t kFlashBase = kLargestChip.flashBase;
constexpr std::uint32_t kEepromBase = kLargestChip.eepromBase;
constexpr std::uint32_t kOptionBase = 0x4800;
constexpr std::uint8_t kRopActive = 0xAA;
// A 4 KB chip has no flash from here on.
constexpr std::uint32_t kSmallFlashEnd = kStm8s103f2.flashEnd();
constexpr int kChipBlock = Stm8::kBlockSize;
constexpr int kMaxProbes = 16;
// Enough bytes of a block to tell, nearly always, that a changed image changes it too.
constexpr int kLookaheadPrefix = 4;

bool allBytes(const std::uint8_t* data, int length, std::uint8_t value) {
    return std::all_of(data, data + length, [value](std::uint8_t byte) { return byte == value; });
}

// What the tool sends past the end of an image: a whole block of erased bytes of either kind.
bool isPadding(const std::uint8_t* data) {
    return allBytes(data, kChipBlock, 0xFF) || allBytes(data, kChipBlock, 0x00);
}

bool validBlock(std::int32_t offset, const std::uint8_t* block, int blockSize,
                int areaSize = Session::kFlashLength) {
    return block != nullptr && offset >= 0 && offset <= areaSize - blockSize &&
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

// The caller waits this long for the worker, plus this many round trips of the USB measured
// at connection: every USB transfer and poll of a job has its own limit, so a job ends well
// within it unless something hangs below libusb.
constexpr auto kWaitLimit = std::chrono::milliseconds(250);
constexpr int kWaitRoundTrips = 100;

const char* textOrOwn(Reason reason, const std::string& own, Language language) {
    return own.empty() ? textOf(reason, language) : own.c_str();
}

const char* speedName(bool high) {
    return high ? "high" : "low";
}

} // namespace

Session::Session(std::unique_ptr<UsbPort> port, Settings settings)
    : port_(std::move(port)), settings_(settings),
      waitLimitUs_(std::chrono::duration_cast<std::chrono::microseconds>(kWaitLimit).count()) {}

Session::~Session() {
    stopWorker();
    close();
}

void Session::stopWorker() noexcept {
    if (!worker_.joinable())
        return;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
    const std::lock_guard lock(mutex_);
    stopping_ = false;
}

std::optional<Reason> Session::failure() const {
    const std::lock_guard lock(mutex_);
    return failure_;
}

// The first failure of a session is the one every later call reports.
void Session::fail(Reason reason, const std::string& text) {
    {
        const std::lock_guard lock(mutex_);
        if (failure_)
            return;
        failure_ = reason;
        failureText_ = text;
    }
    logLine(1, "error %d: %s", static_cast<int>(codeOf(reason)),
            text.empty() ? textOf(reason, settings_.language) : text.c_str());
}

std::string Session::failureText() const {
    const std::lock_guard lock(mutex_);
    return failureText_;
}

std::string Session::description() const {
    const std::lock_guard lock(mutex_);
    return description_;
}

void Session::describe(std::string text) {
    logLine(1, "%s", text.c_str());
    const std::lock_guard lock(mutex_);
    description_ = std::move(text);
}

ResultCode Session::guarded(const std::function<void()>& work, bool despiteProtection) {
    if (const auto failed = failure()) {
        if (!despiteProtection || *failed != Reason::ReadOutProtected)
            return codeOf(*failed);
        // Nothing was touched: the refusal says what the chip is, not that the link broke.
        const std::lock_guard lock(mutex_);
        failure_.reset();
        failureText_.clear();
    }
    try {
        try {
            work();
        } catch (const SpeedTrouble&) {
            if (settings_.speed != SwimSpeed::Auto || lowSpeedOnly_)
                throw;
            reconnectAtLowSpeed();
            work();
        }
    } catch (const Failure& failure) {
        fail(failure.reason(), failure.text());
    } catch (...) {
        // USB trouble arrives as a Failure; anything else (std::bad_alloc, a broken
        // invariant) is the library's own fault and must not send the user to the cable.
        fail(Reason::InternalFault);
    }
    const auto failed = failure();
    return failed ? codeOf(*failed) : kDone;
}

bool Session::releaseBesideIdleWorker() noexcept {
    // Waiting for the job to end needs nothing of the loader, unlike waiting for the thread
    // to end.
    if (!waitFor(true))
        return false;
    close();
    return true;
}

void Session::runWorker() {
#if !defined(_WIN32)
    // Signals go to the host's threads: a worker left blocked when an old host unloads the
    // library mid-download must never run again.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
#endif
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
    const std::chrono::microseconds limit(waitLimitUs_.load());
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit,
                             [this, wholeQueue] { return !job_ && (!wholeQueue || !running_); });
}

int Session::chosenIndex(const std::vector<ProbeListing>& probes) const {
    const std::string& wanted = settings_.probe;
    const bool byPath = isPortPath(wanted);
    std::vector<int> matches;
    for (std::size_t index = 0; index < probes.size(); ++index)
        if ((byPath ? probes[index].location : probes[index].serial) == wanted)
            matches.push_back(static_cast<int>(index));
    const bool english = settings_.language == Language::English;
    if (matches.empty()) {
        if (english)
            throw Failure(Reason::ChosenProbeMissing,
                          std::string("no ST-LINK with the ") +
                              (byPath ? "USB port path " : "serial ") + wanted +
                              ": run kwflash list to see the serials and USB port paths of the "
                              "programmers attached.");
        throw Failure(Reason::ChosenProbeMissing,
                      std::string("没有找到") + (byPath ? "USB端口路径" : "序列号") + "为 " +
                          wanted +
                          " 的ST-LINK：请用 kwflash list 查看已连接编程器的序列号和USB端口路径。");
    }
    if (matches.size() > 1) {
        std::string paths;
        for (const int index : matches)
            paths += (paths.empty() ? "" : (english ? ", " : "、")) +
                     probes[static_cast<std::size_t>(index)].location;
        if (english)
            throw Failure(Reason::SerialShared,
                          "several ST-LINKs have the serial " + wanted + " (USB ports " + paths +
                              "): choose the programmer by its USB port path instead.");
        throw Failure(Reason::SerialShared, "有多个ST-LINK的序列号都是 " + wanted + "（USB端口 " +
                                                paths + "）：请改用USB端口路径指定编程器。");
    }
    return matches.front();
}

void Session::openProbe() {
    std::optional<Reason> reason;
    if (!settings_.probe.empty()) {
        if (!openProbeAt(chosenIndex(port_->identify()), reason))
            reason = Reason::ChosenProbeMissing; // unplugged since it was listed
    } else {
        for (int index = 0; index < kMaxProbes && !probe_; ++index)
            if (!openProbeAt(index, reason))
                break;
    }
    if (!probe_)
        throw Failure(reason.value_or(Reason::NoProbe));
}

bool Session::openProbeAt(int index, std::optional<Reason>& reason) {
    std::unique_ptr<UsbLink> link;
    const int result = port_->open(index, link);
    if (result == kUsbErrorNotFound)
        return false;
    if (result != kUsbSuccess || !link) {
        reason = reason.value_or(openFailureReason(result));
        return true;
    }
    {
        auto probe = std::make_unique<StLink>(std::move(link));
        FirmwareVersion version;
        try {
            version = probe->readVersion();
        } catch (const Failure&) {
            reason = reason.value_or(Reason::ProbeUnresponsive);
            return true;
        }
        if (version.swim == 0) {
            reason = reason.value_or(Reason::NoSwim);
            return true;
        }
        probe_ = std::move(probe);
        waitLimitUs_ = std::chrono::duration_cast<std::chrono::microseconds>(
                           kWaitLimit + kWaitRoundTrips * probe_->roundTrip())
                           .count();
        char text[160];
        std::snprintf(text, sizeof text, "%s (%04x:%04x), firmware V%d J%d S%d",
                      probe_->model().name, kStVendorId, probe_->model().productId, version.stlink,
                      version.jtag, version.swim);
        probeText_ = text;
    }
    return true;
}

void Session::connect() {
    attach();
    if (protected_)
        throw Failure(Reason::ReadOutProtected);
}

void Session::attach() {
    if (chip_)
        return;
    connectChip();
    protected_ = chip_->readOutProtected();
}

void Session::connectChip() {
    if (!probe_) {
        openProbe();
        probe_->enterSwim();
    }
    chip_ = std::make_unique<Stm8>(*probe_);
    chip_->connect(settings_.speed != SwimSpeed::Low && !lowSpeedOnly_);
    std::string text = probeText_ + ", SWIM " + speedName(chip_->highSpeed()) + " speed";
    if (lowSpeedOnly_)
        text += " (after errors at high speed)";
    else if (settings_.speed == SwimSpeed::Low)
        text += " (asked for)";
    else if (!chip_->offersHighSpeed())
        text += " (the chip does not offer high speed)";
    describe(text);
}

void Session::reconnectAtLowSpeed() {
    logLine(1, "repeated SWIM errors at high speed: connecting again at low speed");
    try {
        if (chip_)
            chip_->awaitProgramming();
    } catch (const Failure&) {
        // Whatever the block holds now is checked once the link works again.
    }
    redo_ = inFlight_;
    inFlight_.reset();
    chip_.reset();
    unlocked_ = dataUnlocked_ = false;
    heldFrom_ = heldTo_ = 0;
    lowSpeedOnly_ = true;
    // Out of SWIM and in again: the probe forgets its high speed, the chip is entered anew.
    probe_->enterSwim();
    attach();
    if (redo_) {
        const Block block = *redo_;
        redo_.reset();
        fetchHeld(block.address, kChipBlock);
        program(block.address, block.data.data());
    }
}

void Session::checkLink() const {
    if (probe_->wantsLowSpeed())
        throw SpeedTrouble();
}

ResultCode Session::write(std::int32_t offset, const std::uint8_t* block) {
    flashUsed_ = true;
    const ResultCode result = queueBlocks(offset, block);
    // Nothing of the worker outlives the transfer: a host may release the library next.
    if (result != kDone || offset == kLastWriteOffset)
        stopWorker();
    return result;
}

ResultCode Session::queueBlocks(std::int32_t offset, const std::uint8_t* block) {
    // One call's blocks may wait while the last call's are programmed, so the worker has the
    // next blocks at hand through the tool's pauses.
    if (!waitFor(false))
        fail(Reason::ProbeLost);
    // Connecting here rather than in the worker reports a missing probe or chip at block 0.
    // Only before the first job: later the worker owns the connection (it may reconnect at
    // low speed) while this thread queues the next blocks.
    if (!connected_) {
        const ResultCode connected = guarded([this] { connect(); });
        if (connected != kDone)
            return connected;
        connected_ = true;
    } else if (const auto failed = failure()) {
        return codeOf(*failed);
    }
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
        checkLink();
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
    std::array<std::uint8_t, std::size_t{2} * kChipBlock> got{};
    chip_->awaitProgramming();
    chip_->read(block.address, got.data(), kChipBlock + lookahead);
    // Until here a fallback to low speed checks the block again.
    inFlight_.reset();
    verify(block, got.data());
    const auto next = static_cast<std::ptrdiff_t>(block.address - kFlashBase) + kChipBlock;
    std::copy_n(got.begin() + kChipBlock, lookahead, held_.begin() + next);
}

void Session::verify(const Block& block, std::uint8_t* held) {
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
    flashUsed_ = true;
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
            checkLink();
        }
        std::copy_n(readCache_.begin() + offset, kGetFlashDataBlockSize, block);
        if (offset == kLastReadOffset)
            finish();
    });
}

ResultCode Session::afterWorker(const std::function<void()>& work, bool despiteProtection) {
    if (!waitFor(true))
        fail(Reason::ProbeLost);
    return guarded(work, despiteProtection);
}

ResultCode Session::writeEeprom(std::int32_t offset, const std::uint8_t* block) {
    std::array<std::uint8_t, kEepromBlockSize> data{};
    std::copy_n(block, data.size(), data.begin());
    return afterWorker([&] {
        connect();
        settle();
        programEepromBlock(kEepromBase + static_cast<std::uint32_t>(offset), data.data());
        checkLink();
    });
}

ResultCode Session::readEeprom(std::int32_t offset, std::uint8_t* block) {
    std::array<std::uint8_t, kEepromBlockSize> data{};
    const ResultCode code = afterWorker([&] {
        connect();
        settle();
        chip_->read(kEepromBase + static_cast<std::uint32_t>(offset), data.data(),
                    kEepromBlockSize);
        checkLink();
    });
    if (code == kDone)
        std::copy(data.begin(), data.end(), block);
    return code;
}

ResultCode Session::readOptionBytes(std::uint8_t* bytes) {
    std::array<std::uint8_t, kOptionByteCount> data{};
    const ResultCode code = afterWorker(
        [&] {
            attach();
            settle();
            chip_->read(kOptionBase, data.data(), kOptionByteCount);
            checkLink();
        },
        true);
    if (code == kDone)
        std::copy(data.begin(), data.end(), bytes);
    return code;
}

ResultCode Session::writeOptionByte(int index, std::uint8_t value) {
    return afterWorker(
        [&] {
            attach();
            settle();
            if (index == 0) {
                programOptionBytes(0, &value, 1);
            } else {
                const std::uint8_t pair[2] = {value, static_cast<std::uint8_t>(~value)};
                programOptionBytes(index, pair, 2);
            }
            checkLink();
        },
        true);
}

ResultCode Session::removeProtection() {
    return afterWorker(
        [&] {
            attach();
            settle();
            removeProtectionNow();
            checkLink();
        },
        true);
}

void Session::removeProtectionNow() {
    std::uint8_t rop = 0;
    chip_->read(kOptionBase, &rop, 1);
    if (rop == kRopActive) {
        const std::uint8_t none = 0x00;
        programOptionBytes(0, &none, 1);
    } else if (protected_) {
        // ROP left 0xAA earlier in this transfer: the chip loads it at its next reset.
        reenter();
        if (protected_)
            throw Failure(Reason::ProtectionKept);
    }
}

void Session::programEepromBlock(std::uint32_t address, const std::uint8_t* data) {
    std::array<std::uint8_t, kEepromBlockSize> held{};
    chip_->read(address, held.data(), kEepromBlockSize);
    if (std::equal(held.begin(), held.end(), data))
        return;
    if (!dataUnlocked_) {
        chip_->unlockData();
        dataUnlocked_ = true;
    }
    // Standard programming even on an erased block: the fast mode's use on EEPROM gains a few
    // milliseconds and rests on less evidence than on flash.
    chip_->startBlock(address, data, false);
    chip_->awaitProgramming();
    chip_->read(address, held.data(), kEepromBlockSize);
    if (!std::equal(held.begin(), held.end(), data))
        throw Failure(Reason::VerifyMismatch);
}

void Session::programOptionBytes(int index, const std::uint8_t* values, int count) {
    const std::uint32_t address = kOptionBase + static_cast<std::uint32_t>(index);
    std::uint8_t held[2] = {};
    chip_->read(address, held, count);
    bool erased = false;
    bool written = false;
    for (int i = 0; i < count; ++i) {
        if (held[i] == values[i])
            continue;
        if (!dataUnlocked_) {
            chip_->unlockData();
            dataUnlocked_ = true;
        }
        // The chip erases flash and EEPROM when ROP leaves 0xAA, whatever it held at reset.
        const bool erases = index + i == 0 && held[i] == kRopActive;
        chip_->startOptionByte(address + static_cast<std::uint32_t>(i), values[i], erases);
        chip_->awaitProgramming();
        erased = erased || erases;
        written = true;
    }
    if (!written)
        return;
    if (erased) {
        // Until its next reset the chip keeps the protection it loaded at the last one.
        reenter();
        if (protected_)
            throw Failure(Reason::ProtectionKept);
    }
    chip_->read(address, held, count);
    if (!std::equal(held, held + count, values))
        throw Failure(Reason::VerifyMismatch);
}

void Session::reenter() {
    chip_.reset();
    unlocked_ = dataUnlocked_ = false;
    heldFrom_ = heldTo_ = 0;
    cached_ = 0;
    probe_->enterSwim();
    attach();
}

ResultCode Session::lookForChip(std::string& text) {
    bool present = false;
    const ResultCode code = guarded(
        [&] {
            if (!probe_) {
                openProbe();
                probe_->enterSwim();
            }
            // Under reset as a transfer enters, so that a program that took the SWIM pin
            // cannot hide the chip; at low speed, which every chip and wire has.
            chip_ = std::make_unique<Stm8>(*probe_);
            chip_->connect(false);
            protected_ = chip_->readOutProtected();
            present = true;
        },
        true);
    if (code == kDone && present)
        text = protected_ ? "chip=present rop=yes\n" : "chip=present rop=no\n";
    else
        text = std::string(textOrOwn(*failure(), failureText(), settings_.language)) + "\n";
    close();
    finished_ = true;
    return code;
}

void Session::finish() {
    settle();
    if (unlocked_ || dataUnlocked_) {
        chip_->relockFlash();
        unlocked_ = dataUnlocked_ = false;
    }
    chip_->resetAndRelease();
    chip_.reset();
    probe_.reset();
    port_.reset();
    finished_ = true;
}

void Session::close() noexcept {
    if (probe_) {
        const auto failed = failure();
        // A probe that stopped answering gets no more commands; any other outcome leaves the
        // chip reset and running and the probe out of SWIM.
        if (!failed || codeOf(*failed) != kProbeLost)
            release();
    }
    chip_.reset();
    probe_.reset();
    port_.reset();
}

void Session::release() noexcept {
    try {
        if (chip_) {
            // A block still programming ends first: a reset now could leave it half written.
            try {
                chip_->awaitProgramming();
            } catch (const Failure&) {
            }
            inFlight_.reset();
            if (unlocked_ || dataUnlocked_)
                chip_->relockFlash();
            unlocked_ = dataUnlocked_ = false;
            chip_->resetAndRelease();
            return;
        }
    } catch (const std::exception&) {
        // The chip does not answer: the probe may still hold it in reset.
    }
    try {
        probe_->releaseReset();
    } catch (const std::exception&) {
    }
    try {
        probe_->exitSwim();
    } catch (const std::exception&) {
    }
}

ResultCode Session::report(std::string& text) {
    const ResultCode code = reportOn(text);
    close();
    // A report is no transfer: the calls after it start their own.
    finished_ = true;
    return code;
}

ResultCode Session::reportOn(std::string& text) {
    text.clear();
    const std::vector<ProbeListing> probes = port_->list();
    if (probes.empty()) {
        text += "No ST-LINK on the USB bus.\n";
        fail(Reason::NoProbe);
        return codeOf(Reason::NoProbe);
    }
    text += "ST-LINK probes on the USB bus:\n";
    int usable = -1;
    for (std::size_t index = 0; index < probes.size(); ++index) {
        const ProbeListing& listed = probes[index];
        const ProbeModel* model = probeModel(kStVendorId, listed.productId);
        char line[256];
        std::snprintf(line, sizeof line, "  %s  %s (%04x:%04x)  serial %s  ",
                      listed.location.c_str(), model != nullptr ? model->name : "ST-LINK",
                      kStVendorId, listed.productId,
                      listed.serial.empty() ? "unknown" : listed.serial.c_str());
        text += line;
        if (listed.openResult != kUsbSuccess) {
            text += std::string("not usable: ") +
                    textOf(openFailureReason(listed.openResult), settings_.language) + "\n";
            continue;
        }
        std::unique_ptr<UsbLink> link;
        const int opened = port_->open(static_cast<int>(index), link);
        if (opened != kUsbSuccess || !link) {
            text += std::string("not usable: ") +
                    textOf(openFailureReason(opened), settings_.language) + "\n";
            continue;
        }
        FirmwareVersion version;
        try {
            StLink probe(std::move(link));
            version = probe.readVersion();
        } catch (const Failure&) {
            text += std::string("not usable: ") +
                    textOf(Reason::ProbeUnresponsive, settings_.language) + "\n";
            continue;
        }
        std::snprintf(line, sizeof line, "firmware V%d J%d S%d  ", version.stlink, version.jtag,
                      version.swim);
        text += line;
        if (version.swim == 0) {
            text += std::string("no SWIM: ") + textOf(Reason::NoSwim, settings_.language) + "\n";
            continue;
        }
        text += "SWIM capable\n";
        if (usable < 0 && settings_.probe.empty())
            usable = static_cast<int>(index);
    }
    if (!settings_.probe.empty()) {
        const ResultCode chosen = guarded([&] { usable = chosenIndex(probes); });
        if (chosen != kDone) {
            text += std::string("Failed: ") +
                    textOrOwn(*failure(), failureText(), settings_.language) + "\n";
            return chosen;
        }
    }
    if (usable < 0) {
        // A probe that could not be opened says more than the others' missing SWIM.
        Reason reason = Reason::NoSwim;
        for (const ProbeListing& listed : probes)
            if (listed.openResult != kUsbSuccess) {
                reason = openFailureReason(listed.openResult);
                break;
            }
        fail(reason);
        return codeOf(reason);
    }
    text += "Using the probe at " + probes[static_cast<std::size_t>(usable)].location + ".\n";
    // Run again after a fall back to low speed: what it says is written anew each time.
    std::string chipText;
    const ResultCode code = guarded([&] {
        chipText.clear();
        reportChip(chipText);
    });
    text += chipText;
    if (const auto failed = failure())
        text +=
            std::string("Failed: ") + textOrOwn(*failed, failureText(), settings_.language) + "\n";
    return code;
}

void Session::reportChip(std::string& text) {
    if (!probe_) {
        openProbe();
        probe_->enterSwim();
    }
    char line[256];
    if (const auto volts = probe_->targetVolts())
        std::snprintf(line, sizeof line, "Target voltage: %.2f V\n", *volts);
    else
        std::snprintf(line, sizeof line, "Target voltage: not reported by the probe\n");
    text += line;
    if (!chip_)
        connectChip();
    text += "Connected: " + description() + "\n";
    std::uint8_t rop = 0;
    std::uint8_t ubc = 0;
    std::uint8_t notUbc = 0;
    chip_->readOptions(&rop, &ubc, &notUbc);
    std::snprintf(line, sizeof line, "Read-out protection (ROP, 0x4800): %s (0x%02X)\n",
                  rop == 0xAA ? "on" : "off", rop);
    text += line;
    if (rop == 0xAA)
        throw Failure(Reason::ReadOutProtected);
    if (static_cast<std::uint8_t>(~ubc) == notUbc)
        std::snprintf(line, sizeof line,
                      "Boot area write protection (UBC, 0x4801): %d of the first 64-byte blocks "
                      "(0x%02X, complement 0x%02X)\n",
                      ubc, ubc, notUbc);
    else
        std::snprintf(line, sizeof line,
                      "Boot area write protection (UBC, 0x4801): 0x%02X with a complement that "
                      "does not match (0x%02X)\n",
                      ubc, notUbc);
    text += line;
    std::array<std::uint8_t, kFlashLength> first{};
    std::array<std::uint8_t, kFlashLength> second{};
    chip_->read(kFlashBase, first.data(), kFlashLength);
    chip_->read(kFlashBase, second.data(), kFlashLength);
    // As a download would: errors that keep coming at high speed make it go on at low speed.
    checkLink();
    const bool same = first == second;
    std::snprintf(line, sizeof line, "Flash reads back: %s\n",
                  same ? "yes, 8192 bytes read twice alike"
                       : "NO, two reads of the same 8192 bytes differ: check wiring and power");
    text += line;
    if (probe_->recoveredErrors() > 0) {
        std::snprintf(line, sizeof line,
                      "SWIM errors recovered by a resynchronisation and a retry: %d\n",
                      probe_->recoveredErrors());
        text += line;
    }
    if (!same)
        throw Failure(Reason::TargetSilent);
}

bool isPortPath(const std::string& text) {
    // Bus, a dash, then port numbers joined by dots: at most 7 hubs deep.
    std::size_t at = 0;
    int numbers = 0;
    while (at < text.size()) {
        const std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            ++at;
        if (at == start || at - start > 3)
            return false;
        ++numbers;
        if (at == text.size())
            break;
        if (text[at] != (numbers == 1 ? '-' : '.'))
            return false;
        ++at;
        if (at == text.size())
            return false;
    }
    return numbers >= 2 && numbers <= 8;
}

namespace {

const char* generationName(std::uint16_t productId) {
    switch (productId) {
    case 0x3748:
        return "V2";
    case 0x374B:
    case 0x3752:
        return "V2-1";
    default:
        return "V3";
    }
}

// Spaces, '%', '=' and anything outside printable ASCII as %XX, so the value stays one token.
std::string escapedToken(const std::string& text) {
    if (text.empty())
        return "-";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || c == '%' || c == '=') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

const char* usableName(int openResult) {
    switch (openResult) {
    case kUsbErrorAccess:
        return "no-permission";
    case kUsbErrorBusy:
        return "busy";
    default:
        return "unresponsive";
    }
}

} // namespace

std::string listProbes(UsbPort& port) {
    std::string text;
    const std::vector<ProbeListing> probes = port.list();
    for (std::size_t index = 0; index < probes.size(); ++index) {
        const ProbeListing& listed = probes[index];
        std::string firmware = "-";
        std::string swim = "-";
        std::string usable = usableName(listed.openResult);
        std::unique_ptr<UsbLink> link;
        if (listed.openResult == kUsbSuccess) {
            const int opened = port.open(static_cast<int>(index), link);
            if (opened != kUsbSuccess || !link)
                usable = usableName(opened);
        }
        if (link) {
            try {
                StLink probe(std::move(link));
                const FirmwareVersion version = probe.readVersion();
                char text[48];
                std::snprintf(text, sizeof text, "V%dJ%dS%d", version.stlink, version.jtag,
                              version.swim);
                firmware = text;
                swim = version.swim != 0 ? "yes" : "no";
                usable = version.swim != 0 ? "yes" : "no-swim";
            } catch (const Failure&) {
                usable = "unresponsive";
            }
        }
        char line[512];
        std::snprintf(line, sizeof line,
                      "%s serial=%s product=%04x:%04x generation=%s firmware=%s swim=%s "
                      "usable=%s\n",
                      listed.location.c_str(), escapedToken(listed.serial).c_str(), kStVendorId,
                      listed.productId, generationName(listed.productId), firmware.c_str(),
                      swim.c_str(), usable.c_str());
        text += line;
    }
    return text;
}

Programmer::Programmer(PortFactory ports) : ports_(std::move(ports)) {}

Programmer::~Programmer() {
    if (session_ && session_->workerRunning()) {
        session_->releaseBesideIdleWorker();
        static_cast<void>(session_.release()); // its thread object must not be destroyed
    }
}

bool Programmer::setOption(const char* name, const char* value) {
    if (name == nullptr || value == nullptr)
        return false;
    if (std::string_view(name) == "probe") {
        const std::string_view wanted(value);
        // A serial as a USB string descriptor can hold it; no control characters.
        if (wanted.size() > 126 || std::any_of(wanted.begin(), wanted.end(), [](char c) {
                return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
            }))
            return false;
        settings_.probe = wanted;
        return true;
    }
    if (std::string_view(name) == "language")
        return languageNamed(value, settings_.language);
    if (std::string_view(name) != "swim")
        return false;
    const std::string_view wanted(value);
    if (wanted == "auto")
        settings_.speed = SwimSpeed::Auto;
    else if (wanted == "low")
        settings_.speed = SwimSpeed::Low;
    else if (wanted == "high")
        settings_.speed = SwimSpeed::High;
    else
        return false;
    return true;
}

ResultCode Programmer::report(const char* topic, std::string& text) {
    const std::string_view what = topic != nullptr ? topic : "";
    if (what == "session") {
        text = description();
        return kDone;
    }
    if (what == "list") {
        end();
        const std::unique_ptr<UsbPort> port = ports_();
        text = listProbes(*port);
        return kDone;
    }
    if (what == "chip") {
        end();
        session_ = std::make_unique<Session>(ports_(), settings_);
        return note(session_->lookForChip(text));
    }
    if (what != "probes") {
        text.clear();
        return badArgument();
    }
    end();
    session_ = std::make_unique<Session>(ports_(), settings_);
    return note(session_->report(text));
}

std::string Programmer::description() const {
    if (session_) {
        std::string text = session_->description();
        if (!text.empty())
            return text;
    }
    return lastDescription_;
}

Session& Programmer::sessionAt(std::int32_t offset) {
    // Every flash transfer starts at offset 0, so that call starts a new session even if the
    // library was not unloaded after the last one; the EEPROM and option bytes of a transfer
    // may come first.
    if (!session_ || (offset == 0 && session_->flashUsed()) || session_->finished()) {
        end();
        session_ = std::make_unique<Session>(ports_(), settings_);
    }
    return *session_;
}

Session& Programmer::currentSession() {
    if (!session_ || session_->finished()) {
        end();
        session_ = std::make_unique<Session>(ports_(), settings_);
    }
    return *session_;
}

ResultCode Programmer::badArgument() {
    lastFailure_ = Reason::BadArgument;
    lastFailureText_.clear();
    return kBadArgument;
}

ResultCode Programmer::setEepromData(std::int32_t offset, const std::uint8_t* block) {
    if (!validBlock(offset, block, kEepromBlockSize, kEepromMaxSize))
        return badArgument();
    return note(currentSession().writeEeprom(offset, block));
}

ResultCode Programmer::getEepromData(std::int32_t offset, std::uint8_t* block) {
    if (!validBlock(offset, block, kEepromBlockSize, kEepromMaxSize))
        return badArgument();
    return note(currentSession().readEeprom(offset, block));
}

ResultCode Programmer::getOptionBytes(std::uint8_t* buffer, std::int32_t size) {
    if (buffer == nullptr || size < kOptionByteCount)
        return badArgument();
    return note(currentSession().readOptionBytes(buffer));
}

ResultCode Programmer::setOptionByte(std::int32_t index, std::uint8_t value) {
    // ROP, or OPTn of a pair with its complement.
    if (index != 0 && (index < 1 || index >= kOptionByteCount || index % 2 == 0))
        return badArgument();
    return note(currentSession().writeOptionByte(index, value));
}

ResultCode Programmer::removeReadoutProtection() {
    return note(currentSession().removeProtection());
}

ResultCode Programmer::setFlashData(std::int32_t offset, const std::uint8_t* block) {
    if (!validBlock(offset, block, kSetFlashDataBlockSize))
        return badArgument();
    Session& session = sessionAt(offset);
    return note(session.write(offset, block));
}

ResultCode Programmer::getFlashData(std::int32_t offset, std::uint8_t* block) {
    if (!validBlock(offset, block, kGetFlashDataBlockSize))
        return badArgument();
    Session& session = sessionAt(offset);
    return note(session.read(offset, block));
}

ResultCode Programmer::note(ResultCode result) {
    if (result != kDone) {
        lastFailure_ = session_->failure();
        lastFailureText_ = session_->failureText();
    }
    return result;
}

int Programmer::errorText(int code, char* buffer, int size) const noexcept {
    Reason reason{};
    if (lastFailure_ && codeOf(*lastFailure_) == code) {
        if (!lastFailureText_.empty())
            return copyTextCut(lastFailureText_.c_str(), buffer, size);
        reason = *lastFailure_;
    } else if (!defaultReasonOf(code, reason)) {
        return 0;
    }
    return copyTextCut(textOf(reason, settings_.language), buffer, size);
}

void Programmer::end() noexcept {
    if (session_ && !session_->description().empty())
        lastDescription_ = session_->description();
    session_.reset();
}

ResultCode Programmer::internalFault() noexcept {
    lastFailure_ = Reason::InternalFault;
    lastFailureText_.clear();
    return kInternalFault;
}

} // namespace kw::stlink
