#pragma once

// The whole chip: flash, data EEPROM and option bytes in one session each way, and the removal
// of read-out protection. Like the flash transfers they tell a host every event and word
// nothing; a library without an export a plan needs ends the transfer before anything is
// written, with ExportMissing and the export's name.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "programmer/Transfer.h"
#include "target/OptionBytes.h"

namespace kw {

static_assert(kOptionBytesLength == kOptionByteCount, "the library reads every option byte");

namespace eeprom {
inline constexpr int kBlockSize = kEepromBlockSize;
} // namespace eeprom

// What to write, in this order: flash blocks, EEPROM blocks, option bytes. Images are indexed
// from their area's first byte (0x8000, 0x4000); bytes past an image are sent as `pad`.
struct ChipWritePlan {
    const ImageBuffer* flash = nullptr;
    std::vector<int> flashBlocks; // of download::kBlockSize
    const ImageBuffer* eeprom = nullptr;
    std::vector<int> eepromBlocks; // of eeprom::kBlockSize
    std::uint8_t pad = 0x00;
    // (index, value) as SetOptionByte takes them: 0 for ROP, an odd index for OPTn.
    std::vector<std::pair<int, std::uint8_t>> optionWrites;
};

// One session. Progress is told per part: started(kind), setProgressMaximum and blockDone
// for the flash (Download) and the EEPROM (EepromWrite) blocks; OptionWrite has one step per
// byte. A failed option byte reports the position of its write in the plan as the block.
TransferResult runChipWrite(Programmer& programmer, const ChipWritePlan& plan, TransferHost& host,
                            const SessionOptions& options = {});

struct ChipReadPlan {
    std::vector<int> flashBlocks;  // of readback::kBlockSize
    std::vector<int> eepromBlocks; // of eeprom::kBlockSize
    bool options = false;
};

struct ChipReadResult : TransferResult {
    // Only when the outcome is Completed: what the plan asked for, 0 elsewhere.
    std::unique_ptr<ImageBuffer> flash;  // kTransferLength bytes
    std::unique_ptr<ImageBuffer> eeprom; // kEepromMaxSize bytes
    std::optional<OptionBytes> options;
};

// One session: the flash blocks, the EEPROM blocks, then the option bytes (OptionRead).
ChipReadResult runChipRead(Programmer& programmer, const ChipReadPlan& plan, TransferHost& host,
                           const SessionOptions& options = {});

// Removes read-out protection (Unlock: the chip erases its flash and EEPROM when it was
// protected), then reads the option bytes in the same session (OptionRead).
ChipReadResult runUnlock(Programmer& programmer, TransferHost& host,
                         const SessionOptions& options = {});

} // namespace kw
