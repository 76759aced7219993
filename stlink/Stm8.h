#pragma once

#include <chrono>
#include <cstdint>

#include "stlink/Results.h"
#include "stlink/StLink.h"
#include "target/Chip.h"

namespace kw::stlink {

// An STM8S103 reached over SWIM through an ST-LINK: the connection, flash reads, block
// programming through the flash controller, and the release that lets the chip run.
class Stm8 {
public:
    static constexpr int kBlockSize = kLargestChip.blockSize; // programmed at once

    explicit Stm8(StLink& probe);

    // Wakes the chip's SWIM under reset, switches to high speed when `wantHighSpeed` and the
    // chip reports it can (HSIT), and stalls the CPU at its full clock.
    void connect(bool wantHighSpeed);
    bool highSpeed() const noexcept { return highSpeed_; }
    // The most bytes one read moves.
    int maxTransfer() const noexcept { return maxTransfer_; }

    bool readOutProtected();
    void unlockFlash();
    void relockFlash();

    // `tooLong` names the failure when the read waits beyond reason: a read right after a
    // block started waits on the wire until the block is done, so the probe is first asked
    // when the bytes can be through after the block's typical end.
    void read(std::uint32_t address, std::uint8_t* data, int length,
              Reason tooLong = Reason::TargetSilent);

    // Starts programming one 64-byte block at a block-aligned address; `erased` (the block
    // holds only 0x00 now) allows the fast mode that skips the erase.
    void startBlock(std::uint32_t address, const std::uint8_t* data, bool erased);
    // Sleeps until a command sent now reaches the probe when the block started last is done
    // in the typical time.
    void waitForBlock() const;
    // For a block that did not read back as written: whether the chip refused it (write
    // protection), after waiting out the longest time a block may take.
    bool blockRefused();

    // Resets the chip so that its program runs, and ends SWIM on the probe.
    void resetAndRelease();

private:
    std::uint8_t readByte(std::uint32_t address);
    void writeByte(std::uint32_t address, std::uint8_t value);

    StLink& probe_;
    int maxTransfer_ = 0;
    bool highSpeed_ = false;
    std::uint8_t swimCsr_ = 0;
    std::chrono::steady_clock::time_point blockStart_;
    std::chrono::steady_clock::time_point blockEnd_; // typically
};

} // namespace kw::stlink
