#pragma once

#include "emulator/ChipMemory.h"
#include "emulator/Clock.h"
#include "emulator/Probe.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace kw::emu {

// An STM8S103 as seen through its SWIM pin: memory map, flash controller, SWIM_CSR and the
// debug module. Nothing executes; "running" only means the CPU is neither stalled nor held
// in reset. Times are emulated nanoseconds; the caller (the probe) passes the moment each
// access happens, and the chip completes programming operations lazily when a later access
// looks at them.
class Stm8s103 {
public:
    Stm8s103(ChipVariant variant, ChipMemory& memory, bool hsitNeverSet);

    // Asked before a flash block programming starts; false stops it and the access that
    // triggered it (the probe vanished or the target was lost at that moment).
    std::function<bool()> beforeFlashBlock;

    void powerUp();   // SWIM inactive, CPU running, option bytes loaded
    void swimEntry(); // the entry sequence: SWIM active, low speed
    bool swimActive() const { return swimActive_; }
    bool highSpeed() const;
    void setResetPin(bool asserted);
    void swimSystemReset();

    // SWIM memory accesses starting at `start`, each byte taking `perByte` on the wire. An
    // access to flash or EEPROM while the controller programs waits for it. Returns when the
    // last byte was done.
    Nanos write(std::uint32_t address, const std::uint8_t* data, std::size_t length, Nanos start,
                Nanos perByte);
    Nanos read(std::uint32_t address, std::uint8_t* out, std::size_t length, Nanos start,
               Nanos perByte);

    bool cpuRunning() const;
    int resets() const { return resets_; }
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
    // When the byte at `address` is reached by a SWIM access one byte after `t`: an access to
    // flash or EEPROM waits for the operation under way to end.
    Nanos reach(std::uint32_t address, Nanos t, Nanos perByte);
    bool startOperation(const Latch& latch, Area area, Nanos t);
    void completeOperation();
    void store(std::uint32_t address, std::uint8_t value);
    void save(std::uint32_t address, std::uint32_t length);

    ChipVariant variant_;
    ChipMemory& memory_;
    bool hsitNeverSet_;

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
};

} // namespace kw::emu
