#pragma once

#include "emulator/ChipMemory.h"
#include "emulator/Clock.h"
#include "emulator/Probe.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>

namespace kw::emu {

// A low-density STM8S (the chips of target/Chip.h share one die and memory map; they differ in
// flash and EEPROM size) as seen through its SWIM pin: memory map, flash controller, SWIM_CSR,
// RST_SR and the debug module. Nothing executes; "running" only means the CPU is neither stalled
// nor held in reset. Times are emulated nanoseconds; the caller (the probe) passes the moment each
// access happens, and the chip completes programming operations lazily when a later access
// looks at them.
class Stm8s103 {
public:
    // Takes the chip variant, the programming times, what an access during programming gets
    // and the HSIT fault from `options`.
    Stm8s103(const Options& options, ChipMemory& memory);

    // Asked before a flash block programming starts; false stops it and the access that
    // triggered it (the probe vanished or the target was lost at that moment).
    std::function<bool()> beforeFlashBlock;

    void powerUp();   // SWIM inactive, CPU running, option bytes loaded
    void swimEntry(); // the entry sequence: SWIM active, low speed
    bool swimActive() const { return swimActive_; }
    bool highSpeed() const;
    void setResetPin(bool asserted);
    void swimSystemReset();

    // The outcome of one SWIM memory command: when its last byte was done, or when it was
    // refused because it reached flash, EEPROM or option bytes while the controller
    // programmed.
    struct Access {
        Nanos end = 0;
        bool refused = false;
    };

    // SWIM memory accesses starting at `start`, each byte taking `perByte` on the wire. With
    // BusyAccess::Fail a command that meets an operation already under way changes nothing;
    // one that meets an operation it started itself (several blocks in one command) stops
    // there. With BusyAccess::Wait the access waits for the operation to end.
    Access write(std::uint32_t address, const std::uint8_t* data, std::size_t length, Nanos start,
                 Nanos perByte);
    Access read(std::uint32_t address, std::uint8_t* out, std::size_t length, Nanos start,
                Nanos perByte);

    bool cpuRunning() const;
    bool optionByteError() const { return optionError_; }
    int resets() const { return resets_; }
    long long eepromOperations() const { return eepromOperations_; }
    long long optionOperations() const { return optionOperations_; }
    // Non-volatile bytes as stored, without read-out protection or side effects.
    std::uint8_t peek(std::uint32_t address) const;
    void poke(std::uint32_t address, std::uint8_t value);

private:
    enum class Area { None, Ram, Eeprom, Option, UniqueId, Registers, Debug, Flash, FlashHole };
    enum class OpKind { Program, FastProgram, Erase };

    struct Latch {
        bool active = false;
        OpKind kind = OpKind::Program;
        std::uint32_t base = 0;
        std::uint32_t size = 0;
        std::array<std::uint8_t, 64> bytes{};
    };
    // Latched bytes the flash controller is programming, until `end`.
    struct Operation : Latch {
        Nanos end = 0;
    };
    // An unlock register: two keys in order set `unlockedBit` in IAPSR; a wrong key locks it
    // until the next reset.
    struct KeySequence {
        std::uint8_t first = 0;
        std::uint8_t second = 0;
        std::uint8_t unlockedBit = 0;
        int step = 0;
        bool broken = false;
        void enter(std::uint8_t value, std::uint8_t& iapsr);
    };

    Area areaOf(std::uint32_t address) const;
    static bool isNonVolatile(Area area);
    void settle(Nanos t);
    void resetVolatileState();
    void releaseReset();
    std::uint8_t readByte(std::uint32_t address);
    void writeByte(std::uint32_t address, std::uint8_t value, Nanos t);
    void writeRegister(std::uint32_t address, std::uint8_t value);
    void writeDebug(std::uint32_t address, std::uint8_t value);
    bool writeNonVolatile(std::uint32_t address, Area area, std::uint8_t value, Nanos t);
    // When the byte at `address` is reached by a SWIM access one byte after `t`; in Wait mode
    // an access to non-volatile memory waits there for the operation under way to end.
    Nanos reach(std::uint32_t address, Nanos t, Nanos perByte);
    bool refusedAt(std::uint32_t address) const;
    // When a command starting at `start` would first reach non-volatile memory while the
    // operation under way still runs; nullopt when it would not be refused for that.
    std::optional<Nanos> refusalOf(std::uint32_t address, std::size_t length, Nanos start,
                                   Nanos perByte) const;
    Nanos duration(OpKind kind);
    bool startOperation(const Latch& latch, Area area, Nanos t);
    void completeOperation();
    void store(std::uint32_t address, std::uint8_t value);
    void save(std::uint32_t address, std::uint32_t length);

    const Chip& chip_;
    ChipMemory& memory_;
    bool hsitNeverSet_;
    BusyAccess busyAccess_;
    Nanos standardMin_;
    Nanos standardMax_;
    std::mt19937_64 random_;

    std::array<std::uint8_t, 1024> ram_{};
    std::array<std::uint8_t, 0x800> registers_{}; // 0x5000-0x57FF
    std::array<std::uint8_t, 0x100> debug_{};     // 0x7F00-0x7FFF
    bool swimActive_ = false;
    bool inReset_ = false;
    int resets_ = 0;

    // Flash controller
    KeySequence programKeys_;
    KeySequence dataKeys_;
    Latch latch_;
    Operation operation_;
    // Option bytes take effect at reset.
    bool readoutProtected_ = false;
    int protectedBlocks_ = 0;
    bool optionError_ = false; // a pair did not match: the chip stays in reset
    long long eepromOperations_ = 0;
    long long optionOperations_ = 0;
};

} // namespace kw::emu
