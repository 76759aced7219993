#include "stlink/Stm8.h"

#include <algorithm>
#include <thread>

#include "stlink/Results.h"

namespace kw::stlink {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Registers of the STM8S103 as SWIM sees them.
constexpr std::uint32_t kSwimCsr = 0x7F80;
constexpr std::uint32_t kDmCsr2 = 0x7F99;
constexpr std::uint32_t kFlashCr2 = 0x505B; // FLASH_NCR2 follows at 0x505C
constexpr std::uint32_t kFlashIapsr = 0x505F;
constexpr std::uint32_t kFlashPukr = 0x5062;
constexpr std::uint32_t kFlashDukr = 0x5064;
constexpr std::uint32_t kClkCkdivr = 0x50C6;
constexpr std::uint32_t kOptionRop = 0x4800;

constexpr std::uint8_t kCsrSafeMask = 0x80;
constexpr std::uint8_t kCsrSwimDm = 0x20;
constexpr std::uint8_t kCsrHighSpeed = 0x10;
constexpr std::uint8_t kCsrReset = 0x04;
constexpr std::uint8_t kCsrHsit = 0x02;
constexpr std::uint8_t kCsrPriority = 0x01;
constexpr std::uint8_t kDmStall = 0x08;
constexpr std::uint8_t kCr2Option = 0x80;
constexpr std::uint8_t kCr2Program = 0x01;
constexpr std::uint8_t kCr2FastProgram = 0x10;
constexpr std::uint8_t kIapsrWriteRefused = 0x01;
constexpr std::uint8_t kIapsrEndOfProgramming = 0x04;
constexpr std::uint8_t kRopActive = 0xAA;

// The data sheet's typical and worst times. The first look at the end of a block comes at the
// worst time: a look before costs a round trip and nearly always finds it still programming.
constexpr auto kBlockTime = 6000us;
constexpr auto kSlowestBlockTime = 6600us;
constexpr auto kFastBlockTime = 3000us;
constexpr auto kSlowestFastBlockTime = 3300us;
// About what one command frame takes to reach the probe at least: a full-speed bulk transfer.
constexpr auto kCommandTransit = 150us;
// A chip slower than the data sheet still gets this long, and a few round trips of a slow
// USB, before it counts as never ending.
constexpr auto kProgrammingAllowance = 30ms;
// No data sheet gives the time of the erase that removing read-out protection starts. A chip
// that erased its 128 flash and 10 EEPROM blocks one by one at the slowest block erase (3.3 ms)
// would take 0.46 s; past a second it is not coming.
constexpr auto kProtectionEraseAllowance = 1000ms;
constexpr int kProgrammingRoundTrips = 4;

// A read is cut into pieces of at most this long on the wire, so that one status poll never
// has to wait long for a probe that may be stuck.
constexpr int kHighSpeedChunk = 7200; // 100 ms at 800 kbit/s
constexpr int kLowSpeedChunk = 3300;  // 100 ms at 363 kbit/s

} // namespace

Stm8::Stm8(StLink& probe) : probe_(probe) {}

std::uint8_t Stm8::readByte(std::uint32_t address) {
    std::uint8_t value = 0;
    probe_.readMemory(address, &value, 1);
    return value;
}

void Stm8::writeByte(std::uint32_t address, std::uint8_t value) {
    probe_.writeMemory(address, &value, 1);
}

void Stm8::connect(bool wantHighSpeed) {
    const int buffer = std::clamp(probe_.readBufferSize(), kBlockSize, StLink::kMaxBufferSize);

    // Enter under reset, so that whatever the chip runs cannot disable SWIM first. The entry
    // sequence itself puts the probe at low speed, as the peers rely on.
    probe_.assertReset();
    probe_.entrySequence();
    swimCsr_ = kCsrSafeMask | kCsrSwimDm | kCsrPriority;
    writeByte(kSwimCsr, swimCsr_);
    probe_.releaseReset();
    std::this_thread::sleep_for(1ms);

    bool highSpeedAllowed = false;
    for (int attempt = 0; attempt < 10 && !highSpeedAllowed; ++attempt) {
        highSpeedAllowed = (readByte(kSwimCsr) & kCsrHsit) != 0;
        if (!highSpeedAllowed)
            std::this_thread::sleep_for(500us);
    }
    offersHighSpeed_ = highSpeedAllowed;
    highSpeed_ = wantHighSpeed && highSpeedAllowed;
    if (highSpeed_) {
        probe_.resync();
        swimCsr_ |= kCsrHighSpeed;
        writeByte(kSwimCsr, swimCsr_);
        probe_.setHighSpeed(true);
    }
    maxTransfer_ = std::min(buffer, highSpeed_ ? kHighSpeedChunk : kLowSpeedChunk);

    // Just out of reset, the debug module's other control bits are clear.
    writeByte(kDmCsr2, kDmStall);
    writeByte(kClkCkdivr, 0);
}

bool Stm8::readOutProtected() {
    return readByte(kOptionRop) == kRopActive;
}

void Stm8::readOptions(std::uint8_t* rop, std::uint8_t* ubc, std::uint8_t* notUbc) {
    std::uint8_t bytes[3] = {};
    read(kOptionRop, bytes, sizeof bytes);
    *rop = bytes[0];
    *ubc = bytes[1];
    *notUbc = bytes[2];
}

void Stm8::unlockFlash() {
    writeByte(kFlashPukr, 0x56);
    writeByte(kFlashPukr, 0xAE);
}

// The keys come in the other order than program memory's.
void Stm8::unlockData() {
    writeByte(kFlashDukr, 0xAE);
    writeByte(kFlashDukr, 0x56);
}

// Clearing PUL and DUL locks program memory and EEPROM again.
void Stm8::relockFlash() {
    writeByte(kFlashIapsr, 0x00);
}

void Stm8::read(std::uint32_t address, std::uint8_t* data, int length) {
    while (length > 0) {
        const int piece = std::min(length, maxTransfer_);
        probe_.readMemory(address, data, piece);
        address += static_cast<std::uint32_t>(piece);
        data += piece;
        length -= piece;
    }
}

void Stm8::startBlock(std::uint32_t address, const std::uint8_t* data, bool erased) {
    // CR2 and its complement NCR2 in one write of two bytes, unlike the peers' two writes:
    // SWIM stores them one after the other, CR2 first, as two writes would, and the second
    // write's three USB transfers would add about 65 ms (5%) to a download of 128 blocks.
    const std::uint8_t mode = erased ? kCr2FastProgram : kCr2Program;
    const std::uint8_t modeAndComplement[2] = {mode, static_cast<std::uint8_t>(~mode)};
    probe_.writeMemory(kFlashCr2, modeAndComplement, 2);
    // The block starts programming when its last byte arrives.
    probe_.writeMemory(address, data, kBlockSize, Reason::ProgramTimeout);
    programmingStarted(erased
                           ? Duration{kFastBlockTime, kSlowestFastBlockTime, kProgrammingAllowance}
                           : Duration{kBlockTime, kSlowestBlockTime, kProgrammingAllowance});
}

void Stm8::startOptionByte(std::uint32_t address, std::uint8_t value, bool erasesChip) {
    const std::uint8_t modeAndComplement[2] = {kCr2Option, static_cast<std::uint8_t>(~kCr2Option)};
    probe_.writeMemory(kFlashCr2, modeAndComplement, 2);
    probe_.writeMemory(address, &value, 1, Reason::ProgramTimeout);
    programmingStarted(Duration{kBlockTime, kSlowestBlockTime,
                                erasesChip ? kProtectionEraseAllowance : kProgrammingAllowance});
}

void Stm8::programmingStarted(Duration duration) {
    programming_ = true;
    started_ = probe_.lastWriteLanded();
    duration_ = duration;
}

void Stm8::awaitProgramming() {
    if (!programming_)
        return;
    const auto limit = started_ + duration_.longest + duration_.allowance +
                       kProgrammingRoundTrips * probe_.roundTrip();
    // The first look reaches the chip as the slowest block would end.
    std::this_thread::sleep_until(
        started_ + duration_.longest -
        std::max<std::chrono::microseconds>(kCommandTransit, probe_.oneTransfer()));
    for (;;) {
        // Reading clears EOP and WR_PG_DIS; nothing else reads this register.
        const std::uint8_t status = readByte(kFlashIapsr);
        if ((status & kIapsrWriteRefused) != 0) {
            programming_ = false;
            throw Failure(Reason::WriteProtected);
        }
        if ((status & kIapsrEndOfProgramming) != 0) {
            programming_ = false;
            return;
        }
        if (Clock::now() > limit)
            throw Failure(Reason::ProgramTimeout);
        // A slow chip: look again at about a tenth of a block.
        std::this_thread::sleep_for(duration_.typical / 10);
    }
}

void Stm8::resetAndRelease() {
    writeByte(kSwimCsr, swimCsr_ | kCsrReset);
    probe_.systemReset();
    probe_.exitSwim();
}

} // namespace kw::stlink
