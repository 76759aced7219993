#pragma once

#include <chrono>
#include <cstdint>

#include "stlink/Results.h"
#include "stlink/StLink.h"
#include "target/Chip.h"

namespace kw::stlink {

// An STM8S103 reached over SWIM through an ST-LINK: the connection, memory reads, block and
// option-byte programming through the flash controller, and the release that lets the chip
// run.
class Stm8 {
public:
    static constexpr int kBlockSize = kLargestChip.blockSize; // programmed at once

    explicit Stm8(StLink& probe);

    // Wakes the chip's SWIM under reset, switches to high speed when `wantHighSpeed` and the
    // chip reports it can (HSIT), and stalls the CPU at its full clock.
    void connect(bool wantHighSpeed);
    bool highSpeed() const noexcept { return highSpeed_; }
    // Whether the chip offered high speed (HSIT) when it was connected.
    bool offersHighSpeed() const noexcept { return offersHighSpeed_; }
    // The most bytes one read moves.
    int maxTransfer() const noexcept { return maxTransfer_; }

    bool readOutProtected();
    // The option bytes from ROP on: ROP, UBC and its complement.
    void readOptions(std::uint8_t* rop, std::uint8_t* ubc, std::uint8_t* notUbc);
    void unlockFlash();
    // EEPROM and option bytes.
    void unlockData();
    // Relocks program memory, EEPROM and option bytes.
    void relockFlash();

    void read(std::uint32_t address, std::uint8_t* data, int length);

    // Starts programming one 64-byte block at a block-aligned address; `erased` (the block
    // holds only 0x00 now) allows the fast mode that skips the erase.
    void startBlock(std::uint32_t address, const std::uint8_t* data, bool erased);
    // Starts programming one option byte (unlocked by unlockData). `erasesChip`: the byte is
    // ROP leaving 0xAA, which makes the chip erase flash and EEPROM first and so takes longer.
    void startOptionByte(std::uint32_t address, std::uint8_t value, bool erasesChip);
    // Until the operation started last has ended, by the flash controller's own word (EOP):
    // nothing may touch flash, EEPROM or option bytes before. Throws Failure(WriteProtected)
    // when the chip refused it, Failure(ProgramTimeout) when it never ends. Returns at once
    // when nothing is programming.
    void awaitProgramming();

    // Resets the chip so that its program runs, and ends SWIM on the probe.
    void resetAndRelease();

private:
    // How long a programming operation takes: flash blocks now, EEPROM and option bytes too.
    struct Duration {
        std::chrono::microseconds typical;
        std::chrono::microseconds longest;
        // Beyond the longest, before it counts as never ending.
        std::chrono::microseconds allowance;
    };
    void programmingStarted(Duration duration);
    std::uint8_t readByte(std::uint32_t address);
    void writeByte(std::uint32_t address, std::uint8_t value);

    StLink& probe_;
    int maxTransfer_ = 0;
    bool highSpeed_ = false;
    bool offersHighSpeed_ = false;
    std::uint8_t swimCsr_ = 0;
    bool programming_ = false;
    std::chrono::steady_clock::time_point started_;
    Duration duration_{};
};

} // namespace kw::stlink
