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
constexpr std::uint32_t kClkCkdivr = 0x50C6;
constexpr std::uint32_t kOptionRop = 0x4800;

constexpr std::uint8_t kCsrSafeMask = 0x80;
constexpr std::uint8_t kCsrSwimDm = 0x20;
constexpr std::uint8_t kCsrHighSpeed = 0x10;
constexpr std::uint8_t kCsrReset = 0x04;
constexpr std::uint8_t kCsrHsit = 0x02;
constexpr std::uint8_t kCsrPriority = 0x01;
constexpr std::uint8_t kDmStall = 0x08;
constexpr std::uint8_t kCr2Program = 0x01;
constexpr std::uint8_t kCr2FastProgram = 0x10;
constexpr std::uint8_t kIapsrWriteRefused = 0x01;
constexpr std::uint8_t kRopActive = 0xAA;

constexpr auto kBlockTime = 6ms;
constexpr auto kFastBlockTime = 3ms;
// The data sheet's worst case is 6.6 ms.
constexpr auto kSlowestBlockTime = 7ms;
// About what one command frame takes to reach the probe: a full-speed bulk transfer.
constexpr auto kCommandTransit = 150us;

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

    // Enter under reset, so that whatever the chip runs cannot disable SWIM first.
    probe_.setHighSpeed(false);
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

void Stm8::unlockFlash() {
    writeByte(kFlashPukr, 0x56);
    writeByte(kFlashPukr, 0xAE);
}

// Clearing PUL and DUL locks program memory and EEPROM again.
void Stm8::relockFlash() {
    writeByte(kFlashIapsr, 0x00);
}

void Stm8::read(std::uint32_t address, std::uint8_t* data, int length, Reason tooLong) {
    while (length > 0) {
        const int piece = std::min(length, maxTransfer_);
        probe_.readMemory(address, data, piece, tooLong, blockEnd_);
        address += static_cast<std::uint32_t>(piece);
        data += piece;
        length -= piece;
    }
}

void Stm8::startBlock(std::uint32_t address, const std::uint8_t* data, bool erased) {
    // CR2 and its complement NCR2 in one write: the mode takes only with both.
    const std::uint8_t mode = erased ? kCr2FastProgram : kCr2Program;
    const std::uint8_t modeAndComplement[2] = {mode, static_cast<std::uint8_t>(~mode)};
    probe_.writeMemory(kFlashCr2, modeAndComplement, 2);
    // The block starts programming when its last byte arrives.
    probe_.writeMemory(address, data, kBlockSize, Reason::ProgramTimeout);
    blockStart_ = probe_.lastWriteLanded();
    blockEnd_ = blockStart_ + (erased ? kFastBlockTime : kBlockTime);
}

void Stm8::waitForBlock() const {
    std::this_thread::sleep_until(blockEnd_ - kCommandTransit);
}

bool Stm8::blockRefused() {
    std::this_thread::sleep_until(blockStart_ + kSlowestBlockTime);
    // Reading clears EOP and WR_PG_DIS; nothing else reads this register.
    return (readByte(kFlashIapsr) & kIapsrWriteRefused) != 0;
}

void Stm8::resetAndRelease() {
    writeByte(kSwimCsr, swimCsr_ | kCsrReset);
    probe_.systemReset();
    probe_.exitSwim();
}

} // namespace kw::stlink
