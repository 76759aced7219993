#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "target/Chip.h"

namespace kw::emu {

// What outlives a process: the chip's flash, EEPROM and option bytes, and the USB mode the
// probe was left in. Kept in one small file written through on every change, so several
// programs in turn (our tool, then OpenOCD) see the same chip. The file is also the probe's
// lock: a program that has claimed the probe holds it, so a second one gets BUSY.
class ChipMemory {
public:
    // The larger variant's; F2 uses the first half of the flash.
    static constexpr auto kFlashBytes = static_cast<std::size_t>(kLargestChip.flashSize);
    static constexpr auto kEepromBytes = static_cast<std::size_t>(kLargestChip.eepromSize);
    static constexpr std::size_t kOptionBytes = 11;
    static constexpr std::array<std::uint8_t, kOptionBytes> kFactoryOptions{
        0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF};

    // An empty path keeps everything in memory. Otherwise opens the file, creating it erased
    // with factory option bytes when absent. Throws std::runtime_error for a file that is not
    // one of ours (it is left untouched) or that cannot be read or written.
    explicit ChipMemory(std::string path);
    ~ChipMemory();
    ChipMemory(const ChipMemory&) = delete;
    ChipMemory& operator=(const ChipMemory&) = delete;

    std::array<std::uint8_t, kFlashBytes> flash{};
    std::array<std::uint8_t, kEepromBytes> eeprom{};
    std::array<std::uint8_t, kOptionBytes> options = kFactoryOptions;
    std::uint8_t probeMode = 0; // ST-LINK mode as F5 reports it; 0 (DFU) after power-up
    bool probeHighSpeed = false;

    void saveFlash(std::size_t offset, std::size_t length);
    void saveEeprom(std::size_t offset, std::size_t length);
    void saveOptions();
    void saveProbe();
    void reload(); // what another program may have changed while we did not hold the lock
    void erase();  // flash and EEPROM to 0x00, factory option bytes: a new chip

    bool tryLock(); // false while another open file (any process) holds it
    void unlock();

private:
    void write(std::size_t fileOffset, const std::uint8_t* data, std::size_t length);
    void createErased();

    std::string path_;
    int fd_ = -1;
    bool locked_ = false;
};

} // namespace kw::emu
