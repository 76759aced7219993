#include "emulator/Stm8s103.h"

#include "target/Chip.h"

#include <algorithm>

namespace kw::emu {

namespace {

constexpr std::uint32_t kRamEnd = 0x0400;
constexpr std::uint32_t kEepromBase = kStm8s103f3.eepromBase;
constexpr std::uint32_t kOptionBase = 0x4800;
constexpr std::uint32_t kOptionEnd = kOptionBase + ChipMemory::kOptionBytes;
constexpr std::uint32_t kUniqueIdBase = 0x4865;
constexpr std::uint32_t kRegisterBase = 0x5000;
constexpr std::uint32_t kRegisterEnd = 0x5800;
constexpr std::uint32_t kDebugBase = 0x7F00;
constexpr std::uint32_t kDebugEnd = 0x8000;
constexpr std::uint32_t kFlashBase = kStm8s103f3.flashBase;
constexpr std::uint32_t kBlockSize = static_cast<std::uint32_t>(kStm8s103f3.blockSize);

// Flash controller registers and bits
constexpr std::uint32_t kFlashCr2 = 0x505B;
constexpr std::uint32_t kFlashNcr2 = 0x505C;
constexpr std::uint32_t kFlashNfpr = 0x505E;
constexpr std::uint32_t kFlashIapsr = 0x505F;
constexpr std::uint32_t kFlashPukr = 0x5062;
constexpr std::uint32_t kFlashDukr = 0x5064;
constexpr std::uint32_t kClkCkdivr = 0x50C6;
constexpr std::uint32_t kRstSr = 0x50B3;
constexpr std::uint8_t kRstSrFlags = 0x1F; // EMCF, SWIMF, ILLOPF, IWDGF, WWDGF
constexpr std::uint8_t kRstSrEmcf = 0x10;
constexpr std::uint8_t kOpt = 0x80, kWprg = 0x40, kErase = 0x20, kFprg = 0x10, kPrg = 0x01;
constexpr std::uint8_t kOperationBits = kWprg | kErase | kFprg | kPrg;
constexpr std::uint8_t kHvoff = 0x40, kDul = 0x08, kEop = 0x04, kPul = 0x02, kWrPgDis = 0x01;

// Debug module
constexpr std::uint32_t kSwimCsr = 0x7F80;
constexpr std::uint32_t kDmCsr1 = 0x7F98;
constexpr std::uint32_t kDmCsr2 = 0x7F99;
constexpr std::uint8_t kCsrSwimDm = 0x20, kCsrHs = 0x10, kCsrRst = 0x04, kCsrHsit = 0x02;
constexpr std::uint8_t kCsrReadOnly = 0x40 | kCsrHsit; // NO_ACCESS, HSIT
constexpr std::uint8_t kDmCsr1ResetFlag = 0x10;
constexpr std::uint8_t kDmCsr2Stall = 0x08, kDmCsr2Flush = 0x01;

constexpr std::uint8_t kRopValue = 0xAA;
constexpr std::uint8_t kProtectedRead = 0x71; // what SWIM reads from protected memory

// 96-bit unique ID: wafer X/Y, wafer number, lot number.
constexpr std::array<std::uint8_t, 12> kUniqueId{0x00, 0x2A, 0x00, 0x17, 0x05, 'K',
                                                 'W',  'E',  'M',  'U',  '0',  '1'};

} // namespace

Stm8s103::Stm8s103(const Options& options, ChipMemory& memory)
    : chip_(chipOf(options.chip)), memory_(memory), hsitNeverSet_(options.faults.hsitNeverSet),
      busyAccess_(options.busyAccess),
      standardMin_(static_cast<Nanos>(std::max(1, options.blockMicrosMin)) * kMicro),
      standardMax_(static_cast<Nanos>(std::max(options.blockMicrosMin, options.blockMicrosMax)) *
                   kMicro),
      random_(options.seed) {
    powerUp();
}

Nanos Stm8s103::duration(OpKind kind) {
    // Standard programming includes the erase; fast programming skips it and an erase alone
    // is the other half, so both take half as long.
    const Nanos standard =
        std::uniform_int_distribution<Nanos>(standardMin_, standardMax_)(random_);
    return kind == OpKind::Program ? standard : standard / 2;
}

void Stm8s103::powerUp() {
    swimActive_ = false;
    debug_.fill(0);
    ram_.fill(0);
    resetVolatileState();
    registers_[kRstSr - kRegisterBase] = 0; // a power-on reset leaves no reset flag
    releaseReset();
    resets_ = 0;
}

Stm8s103::Area Stm8s103::areaOf(std::uint32_t address) const {
    const auto flashSize = static_cast<std::uint32_t>(chip_.flashSize);
    if (address < kRamEnd)
        return Area::Ram;
    // EEPROM past the chip's own size is unmapped, as any address outside the memory map.
    if (address >= kEepromBase && address < chip_.eepromEnd())
        return Area::Eeprom;
    if (address >= kOptionBase && address < kOptionEnd)
        return Area::Option;
    if (address >= kUniqueIdBase && address < kUniqueIdBase + kUniqueId.size())
        return Area::UniqueId;
    if (address >= kRegisterBase && address < kRegisterEnd)
        return Area::Registers;
    if (address >= kDebugBase && address < kDebugEnd)
        return Area::Debug;
    if (address >= kFlashBase && address < kFlashBase + flashSize)
        return Area::Flash;
    // The F2's die has the F3's address decoder: its missing upper 4 KB take programming
    // commands like flash and store nothing. Every other chip has all 8 KB.
    if (address >= kFlashBase && address < kFlashBase + ChipMemory::kFlashBytes)
        return Area::FlashHole;
    return Area::None;
}

bool Stm8s103::isNonVolatile(Area area) {
    return area == Area::Eeprom || area == Area::Option || area == Area::Flash ||
           area == Area::FlashHole;
}

bool Stm8s103::highSpeed() const {
    return (debug_[kSwimCsr - kDebugBase] & kCsrHs) != 0;
}

bool Stm8s103::cpuRunning() const {
    return !inReset_ && !optionError_ && (debug_[kDmCsr2 - kDebugBase] & kDmCsr2Stall) == 0;
}

void Stm8s103::swimEntry() {
    swimActive_ = true;
    debug_[kSwimCsr - kDebugBase] = 0;
}

void Stm8s103::resetVolatileState() {
    // An operation cut short by reset leaves the old content: simpler than a torn block,
    // and a verify catches both the same way.
    operation_ = {};
    latch_ = {};
    const std::uint8_t swimCsr = debug_[kSwimCsr - kDebugBase];
    const std::uint8_t resetFlags = registers_[kRstSr - kRegisterBase]; // survive a reset
    registers_.fill(0);
    registers_[kRstSr - kRegisterBase] = resetFlags;
    registers_[kFlashNcr2 - kRegisterBase] = 0xFF;
    registers_[kFlashNfpr - kRegisterBase] = 0xFF;
    registers_[kClkCkdivr - kRegisterBase] = 0x18; // HSI/8, CPU/1
    debug_.fill(0);
    // CPU registers after reset: PC at the reset vector, SP at the top of RAM, interrupts
    // masked (I1 = I0 = 1).
    debug_[0x02] = 0x80;                                           // PCH
    debug_[0x08] = 0x03;                                           // SPH
    debug_[0x09] = 0xFF;                                           // SPL
    debug_[0x0A] = 0x28;                                           // CC
    std::fill(debug_.begin() + 0x70, debug_.begin() + 0x78, 0xFF); // ITC_SPRx
    std::fill(debug_.begin() + 0x90, debug_.begin() + 0x96, 0xFF); // break registers
    debug_[0x9A] = 0xFF;                                           // DM_ENFCTR
    debug_[kSwimCsr - kDebugBase] = swimCsr;                       // SWIM survives a system reset
    programKeys_ = {0x56, 0xAE, kPul};
    dataKeys_ = {0xAE, 0x56, kDul};
}

void Stm8s103::releaseReset() {
    inReset_ = false;
    ++resets_;
    // Option load. ROP has no complement; every other option byte is checked against its
    // complement, and a pair that does not match is an option byte error: the chip resets
    // again (an EMC reset, RST_SR.EMCF) instead of running, and the pair counts as its
    // factory value. SWIM still reaches memory, so a programmer can mend the pair.
    const auto& options = memory_.options;
    readoutProtected_ = options[0] == kRopValue;
    optionError_ = false;
    for (std::size_t i = 1; i + 1 < options.size(); i += 2)
        if (static_cast<std::uint8_t>(options[i] ^ options[i + 1]) != 0xFF)
            optionError_ = true;
    const bool ubcValid = static_cast<std::uint8_t>(options[1] ^ options[2]) == 0xFF;
    protectedBlocks_ = ubcValid ? options[1] : ChipMemory::kFactoryOptions[1];
    if (optionError_)
        registers_[kRstSr - kRegisterBase] |= kRstSrEmcf;
    std::uint8_t& csr = debug_[kSwimCsr - kDebugBase];
    if (swimActive_ && (csr & kCsrRst) != 0) {
        // SWIM_CSR.RST lets the reset take SWIM down with it, so the new program runs.
        swimActive_ = false;
        csr = 0;
    } else if (swimActive_ && (csr & kCsrSwimDm) != 0 && !optionError_) {
        // With SWIM in debug mode the CPU stops at the reset vector: halt through reset. A
        // chip caught in its option byte error never gets there.
        debug_[kDmCsr2 - kDebugBase] |= kDmCsr2Stall;
        debug_[kDmCsr1 - kDebugBase] |= kDmCsr1ResetFlag;
    }
}

void Stm8s103::setResetPin(bool asserted) {
    if (asserted == inReset_)
        return;
    if (asserted) {
        resetVolatileState();
        inReset_ = true;
    } else {
        releaseReset();
    }
}

void Stm8s103::swimSystemReset() {
    resetVolatileState();
    releaseReset();
}

void Stm8s103::settle(Nanos t) {
    if (operation_.active && t >= operation_.end)
        completeOperation();
}

Nanos Stm8s103::reach(std::uint32_t address, Nanos t, Nanos perByte) {
    t += perByte;
    if (busyAccess_ == BusyAccess::Wait && isNonVolatile(areaOf(address)) && operation_.active)
        t = std::max(t, operation_.end);
    settle(t);
    return t;
}

bool Stm8s103::refusedAt(std::uint32_t address) const {
    return busyAccess_ == BusyAccess::Fail && operation_.active && isNonVolatile(areaOf(address));
}

std::optional<Nanos> Stm8s103::refusalOf(std::uint32_t address, std::size_t length, Nanos start,
                                         Nanos perByte) const {
    if (busyAccess_ != BusyAccess::Fail || !operation_.active)
        return std::nullopt;
    for (std::size_t i = 0; i < length; ++i) {
        if (!isNonVolatile(areaOf(address + static_cast<std::uint32_t>(i))))
            continue;
        const Nanos t = start + static_cast<Nanos>(i + 1) * perByte;
        if (t < operation_.end)
            return t;
        break;
    }
    return std::nullopt;
}

Stm8s103::Access Stm8s103::write(std::uint32_t address, const std::uint8_t* data,
                                 std::size_t length, Nanos start, Nanos perByte) {
    if (const auto refused = refusalOf(address, length, start, perByte))
        return {*refused, true};
    Nanos t = start;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t a = address + static_cast<std::uint32_t>(i);
        t = reach(a, t, perByte);
        if (refusedAt(a))
            return {t, true};
        const Area area = areaOf(a);
        if (isNonVolatile(area)) {
            if (!writeNonVolatile(a, area, data[i], t))
                return {t, false};
        } else {
            writeByte(a, data[i], t);
        }
    }
    return {t, false};
}

Stm8s103::Access Stm8s103::read(std::uint32_t address, std::uint8_t* out, std::size_t length,
                                Nanos start, Nanos perByte) {
    if (const auto refused = refusalOf(address, length, start, perByte))
        return {*refused, true};
    Nanos t = start;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t a = address + static_cast<std::uint32_t>(i);
        t = reach(a, t, perByte);
        out[i] = readByte(a);
    }
    return {t, false};
}

std::uint8_t Stm8s103::readByte(std::uint32_t address) {
    const Area area = areaOf(address);
    switch (area) {
    case Area::Ram:
        return ram_[address];
    case Area::Eeprom:
    case Area::Flash:
    case Area::FlashHole:
        return readoutProtected_ ? kProtectedRead : peek(address);
    case Area::Option:
        return peek(address);
    case Area::UniqueId:
        return kUniqueId[address - kUniqueIdBase];
    case Area::Registers: {
        if (address == kFlashPukr || address == kFlashDukr)
            return 0;
        std::uint8_t& value = registers_[address - kRegisterBase];
        if (address != kFlashIapsr)
            return value;
        const std::uint8_t status =
            static_cast<std::uint8_t>(value | (operation_.active ? 0 : kHvoff));
        value &= static_cast<std::uint8_t>(~(kEop | kWrPgDis)); // cleared by reading
        return status;
    }
    case Area::Debug: {
        const std::uint8_t value = debug_[address - kDebugBase];
        if (address == kSwimCsr && !hsitNeverSet_ && !inReset_)
            return value | kCsrHsit;
        return value;
    }
    case Area::None:
        break;
    }
    return 0;
}

void Stm8s103::writeByte(std::uint32_t address, std::uint8_t value, Nanos) {
    switch (areaOf(address)) {
    case Area::Ram:
        ram_[address] = value;
        break;
    case Area::Registers:
        writeRegister(address, value);
        break;
    case Area::Debug:
        writeDebug(address, value);
        break;
    default:
        break; // unique ID and unmapped addresses ignore writes
    }
}

void Stm8s103::KeySequence::enter(std::uint8_t value, std::uint8_t& iapsr) {
    if (broken || (iapsr & unlockedBit) != 0)
        return;
    if (value != (step == 0 ? first : second)) {
        broken = true;
        return;
    }
    if (++step == 2) {
        iapsr |= unlockedBit;
        step = 0;
    }
}

void Stm8s103::writeRegister(std::uint32_t address, std::uint8_t value) {
    std::uint8_t& iapsr = registers_[kFlashIapsr - kRegisterBase];
    switch (address) {
    case kFlashIapsr:
        // Only PUL and DUL are writable, and only to 0: that relocks.
        iapsr &= static_cast<std::uint8_t>(value | ~(kPul | kDul));
        return;
    case kFlashPukr:
        programKeys_.enter(value, iapsr);
        return;
    case kFlashDukr:
        dataKeys_.enter(value, iapsr);
        return;
    case kRstSr:
        // Each flag clears when written 1.
        registers_[address - kRegisterBase] &= static_cast<std::uint8_t>(~(value & kRstSrFlags));
        return;
    default:
        registers_[address - kRegisterBase] = value;
    }
}

void Stm8s103::writeDebug(std::uint32_t address, std::uint8_t value) {
    std::uint8_t& cell = debug_[address - kDebugBase];
    if (address == kSwimCsr) {
        std::uint8_t next = static_cast<std::uint8_t>(value & ~kCsrReadOnly);
        if (hsitNeverSet_)
            next &= static_cast<std::uint8_t>(~kCsrHs); // high speed needs a trimmed HSI
        cell = next;
    } else if (address == kDmCsr2) {
        cell = static_cast<std::uint8_t>(value & ~kDmCsr2Flush);
        if ((cell & kDmCsr2Stall) == 0)
            debug_[kDmCsr1 - kDebugBase] &= static_cast<std::uint8_t>(~kDmCsr1ResetFlag);
    } else {
        cell = value;
    }
}

bool Stm8s103::writeNonVolatile(std::uint32_t address, Area area, std::uint8_t value, Nanos t) {
    std::uint8_t& iapsr = registers_[kFlashIapsr - kRegisterBase];
    const bool programArea = area == Area::Flash || area == Area::FlashHole;
    if ((iapsr & (programArea ? kPul : kDul)) == 0)
        return true; // locked: the write goes nowhere
    const std::uint8_t cr2 = registers_[kFlashCr2 - kRegisterBase];
    const std::uint8_t ncr2 = registers_[kFlashNcr2 - kRegisterBase];
    // A mode bit counts only while NCR2 holds its complement.
    const std::uint8_t mode = static_cast<std::uint8_t>(cr2 & ~ncr2);
    if (area == Area::Option && (mode & kOpt) == 0)
        return true;
    if (area != Area::Option && readoutProtected_) {
        iapsr |= kWrPgDis;
        return true;
    }
    if (programArea &&
        (address - kFlashBase) / kBlockSize < static_cast<std::uint32_t>(protectedBlocks_)) {
        iapsr |= kWrPgDis;
        return true;
    }

    Latch unit;
    const std::uint8_t operation = mode & kOperationBits;
    if (area != Area::Option && (operation == kPrg || operation == kFprg || operation == kErase)) {
        unit.kind = operation == kPrg    ? OpKind::Program
                    : operation == kFprg ? OpKind::FastProgram
                                         : OpKind::Erase;
        unit.size = kBlockSize;
    } else if (operation == kWprg) {
        unit.size = 4;
    } else {
        unit.size = 1; // byte programming, also for any invalid mix of mode bits
    }
    unit.base = address & ~(unit.size - 1);
    if (!latch_.active || latch_.base != unit.base || latch_.size != unit.size ||
        latch_.kind != unit.kind) {
        latch_ = unit;
        latch_.active = true; // bytes never written program as erased (0x00)
    }
    const std::uint32_t offset = address - latch_.base;
    latch_.bytes[offset] = value;
    // A block or word programs when its last byte arrives; an erase when the first word
    // of the block has been written.
    const std::uint32_t trigger = latch_.kind == OpKind::Erase ? 3 : latch_.size - 1;
    if (offset != trigger)
        return true;
    const Latch ready = latch_;
    latch_ = {};
    return startOperation(ready, area, t);
}

bool Stm8s103::startOperation(const Latch& latch, Area area, Nanos t) {
    const bool flashBlock = (area == Area::Flash || area == Area::FlashHole) &&
                            latch.size == kBlockSize && latch.kind != OpKind::Erase;
    if (flashBlock && beforeFlashBlock && !beforeFlashBlock())
        return false;
    if (area == Area::Eeprom)
        ++eepromOperations_;
    else if (area == Area::Option)
        ++optionOperations_;
    static_cast<Latch&>(operation_) = latch;
    operation_.active = true;
    operation_.end = t + duration(latch.kind);
    return true;
}

void Stm8s103::completeOperation() {
    const Operation op = operation_;
    operation_ = {};
    for (std::uint32_t i = 0; i < op.size; ++i) {
        const std::uint32_t address = op.base + i;
        std::uint8_t value = op.bytes[i];
        if (op.kind == OpKind::Erase)
            value = 0;
        else if (op.kind == OpKind::FastProgram)
            value |= peek(address); // without the erase, programming only sets bits
        store(address, value);
    }
    save(op.base, op.size);
    std::uint8_t& cr2 = registers_[kFlashCr2 - kRegisterBase];
    std::uint8_t& ncr2 = registers_[kFlashNcr2 - kRegisterBase];
    cr2 &= static_cast<std::uint8_t>(~kOperationBits);
    ncr2 |= kOperationBits;
    registers_[kFlashIapsr - kRegisterBase] |= kEop;
}

void Stm8s103::store(std::uint32_t address, std::uint8_t value) {
    switch (areaOf(address)) {
    case Area::Flash:
        memory_.flash[address - kFlashBase] = value;
        break;
    case Area::Eeprom:
        memory_.eeprom[address - kEepromBase] = value;
        break;
    case Area::Option:
        if (address == kOptionBase && memory_.options[0] == kRopValue && value != kRopValue) {
            // Removing read-out protection mass-erases program and data memory first.
            memory_.flash.fill(0);
            memory_.eeprom.fill(0);
            memory_.saveFlash(0, memory_.flash.size());
            memory_.saveEeprom(0, memory_.eeprom.size());
        }
        memory_.options[address - kOptionBase] = value;
        break;
    default:
        break; // the F2's missing flash keeps nothing
    }
}

void Stm8s103::save(std::uint32_t address, std::uint32_t length) {
    switch (areaOf(address)) {
    case Area::Flash:
        memory_.saveFlash(address - kFlashBase, length);
        break;
    case Area::Eeprom:
        memory_.saveEeprom(address - kEepromBase, length);
        break;
    case Area::Option:
        memory_.saveOptions();
        break;
    default:
        break;
    }
}

std::uint8_t Stm8s103::peek(std::uint32_t address) const {
    switch (areaOf(address)) {
    case Area::Flash:
        return memory_.flash[address - kFlashBase];
    case Area::Eeprom:
        return memory_.eeprom[address - kEepromBase];
    case Area::Option:
        return memory_.options[address - kOptionBase];
    default:
        return 0;
    }
}

void Stm8s103::poke(std::uint32_t address, std::uint8_t value) {
    if (address == kOptionBase)
        memory_.options[0] = value; // bypasses the erase that removing ROP would do
    else
        store(address, value);
    save(address, 1);
}

} // namespace kw::emu
