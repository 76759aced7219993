#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "target/Chip.h"

// An emulated ST-LINK probe with a low-density STM8S wired to its SWIM connector.
//
// The probe answers the ST-LINK command set on its bulk endpoints exactly as a probe on the
// USB bus would, so a programmer library can run its real protocol code against it. Every
// USB result is a libusb-1.0 result code (0 or a negative LIBUSB_ERROR_* value), so the same
// code path serves the emulator and a real libusb device handle.
namespace kw::emu {

// The chips of target/Chip.h, one die: flash from 0x8000, EEPROM from 0x4000, each of the
// chip's own size.
enum class ChipVariant {
    Stm8s103f2, // 4 KB flash at 0x8000-0x8FFF; 0x9000-0x9FFF holds nothing; 640 B EEPROM
    Stm8s103f3, // 8 KB flash at 0x8000-0x9FFF, 640 B EEPROM
    Stm8s003f3, // 8 KB flash, 128 B EEPROM (0x4000-0x407F)
    Stm8s903f3, // 8 KB flash, 640 B EEPROM
    Stm8s903k3, // 8 KB flash, 640 B EEPROM
    Stm8s001j3, // 8 KB flash, 128 B EEPROM
};

// The sizes of the chip a variant emulates.
const Chip& chipOf(ChipVariant variant) noexcept;
// The variant that emulates `chip`; nullopt for a chip the emulator does not know.
std::optional<ChipVariant> variantOf(const Chip& chip) noexcept;

// ST-LINK generations: they differ in endpoints, USB speed, interfaces and version replies.
enum class Generation { V2, V21, V3 };

// The generation of the ST-LINK with this USB product ID; nullopt for an ID the emulator
// cannot be.
std::optional<Generation> generationOf(std::uint16_t productId) noexcept;

// Faults a test can inject. Counters are zero-based; -1 switches a counted fault off.
struct Faults {
    bool noProbe = false;            // nothing on the bus: the device list is empty
    bool accessDenied = false;       // open() fails with LIBUSB_ERROR_ACCESS (no udev rule)
    bool claimBusy = false;          // claimInterface() fails with LIBUSB_ERROR_BUSY
    int usbTimeoutFromTransfer = -1; // this bulk transfer and every later one times out
    int shortTransferAt = -1;        // this bulk transfer moves only half of its bytes
    int unplugAtBlock = -1;     // once this many flash blocks were programmed, the probe vanishes:
                                // every later transfer fails with LIBUSB_ERROR_NO_DEVICE
    bool targetAbsent = false;  // nothing on the SWIM wire: SWIM operations answer 0x04
    int targetLostAtBlock = -1; // like unplugAtBlock, but the chip stops answering instead
    bool hsitNeverSet = false;  // SWIM_CSR.HSIT stays 0 and HS cannot be set
    bool readoutProtected = false; // the chip starts with ROP (option byte 0x4800 = 0xAA)
    int ubcBlocks = -1;            // the chip starts with UBC = this many protected blocks
    bool noSwim = false;           // firmware without SWIM (version reports SWIM 0)
    bool staleSwimMode = false;    // the probe starts in SWIM mode, left there by a crash
    // After each flash block programming starts, the next SWIM memory command (any address)
    // answers 0x05 once and changes nothing.
    bool badStatePerBlock = false;
    int badStateAtCommand = -1; // this SWIM memory command (reads and writes) answers 0x05 once
    // The probe swallows every command, the first version query included, until the device
    // is reset (libusb_reset_device), as a probe left mid-command by a killed program.
    bool versionFailOnce = false;
    // At SWIM high speed every third memory command answers 0x04 and changes nothing, as on
    // a long wire; at low speed nothing fails.
    bool flakyHighSpeed = false;
};

// Adds the faults of a comma-separated list (KW_EMU_FAULTS' syntax) to `faults`. With chipOnly
// only the chip's own faults are allowed, those a board carries from probe to probe. Throws
// std::invalid_argument naming `variable` for anything else.
void applyFaults(Faults& faults, std::string_view list, const char* variable,
                 bool chipOnly = false);

// Taking the chip off the probe and putting another one on, for production loops.
struct BoardSwaps {
    enum class Mode {
        Fixed, // one chip for ever, in the probe's own memory file
        File,  // `file` names the board on the probe: "none", or "NAME [FAULT,...]"
        Auto,  // `count` fresh boards one after the other, then none
    };
    Mode mode = Mode::Fixed;
    std::string file; // re-read at every entry sequence, reset and memory command
    int count = 0;
    std::vector<int> faulty;                    // board numbers, from 1, that carry faultyFaults
    std::string faultyFaults = "target-lost@1"; // chip faults, KW_EMU_FAULTS' syntax
    int sessions = 1; // SWIM sessions (entry to exit) a board stays on for
    int gap = 2;      // entry sequences that find no chip before the next board
};

// What a SWIM access to flash, EEPROM or option bytes gets while the flash controller
// programs. Real chips refuse it (status 0x05); Wait, which holds the access until the
// operation ends, exists only for tests of code written before that was known.
enum class BusyAccess { Fail, Wait };

struct Options {
    ChipVariant chip = ChipVariant::Stm8s103f3;
    // Flash, EEPROM, option bytes and the probe's USB mode live in this file so that they
    // outlive the process. Created erased with factory option bytes when absent. Empty: the
    // chip lives in memory only.
    std::string memoryFile;
    std::uint16_t productId = 0x3748; // 0x3748 V2; 0x374B, 0x3752 V2-1; 0x374E..0x3754 V3
    // Wall-clock seconds per emulated second. 1 is real time; 0 never sleeps: the emulated
    // clock then advances only by the cost of each transfer, so busy replies and programming
    // times keep their order without any waiting.
    double timeScale = 1.0;
    int usbTransferMicros = 125; // fixed cost of one bulk transfer, before its payload time
    BusyAccess busyAccess = BusyAccess::Fail;
    // Standard block, word or byte programming takes a time drawn uniformly from this range
    // for each operation; fast block programming and block erase take half of it.
    int blockMicrosMin = 6000;
    int blockMicrosMax = 6600;
    std::uint64_t seed = 0; // of the programming time draws: the same seed, the same times
    Faults faults;
    BoardSwaps boards;
    bool trace = false; // print every command to stderr
};

// Options from KW_EMU_* environment variables (see emulator/README.md). Throws
// std::invalid_argument with a readable message for a value it cannot use.
Options optionsFromEnvironment();

// One probe on the stand-in libusb's bus: its own chip and memory file, and where it sits.
struct Attachment {
    Options options;
    std::string serial;
    std::uint8_t busNumber = 1;
    std::vector<std::uint8_t> ports; // root port first, as libusb_get_port_numbers gives them
};

// The probes KW_EMU_PROBES asks for (1 to 8), each from optionsFromEnvironment() plus its own
// KW_EMU_FAULTS_<n> and KW_EMU_PRODUCT_<n> (n from 1), serials from KW_EMU_SERIALS. Throws
// std::invalid_argument as optionsFromEnvironment() does.
std::vector<Attachment> busFromEnvironment();

// Counters for tests and benchmarks.
struct Statistics {
    long long transfers = 0;         // bulk transfers attempted
    long long blockProgrammings = 0; // flash block programmings started
    long long eepromOperations = 0;  // EEPROM byte, word or block operations started
    long long optionOperations = 0;  // option-byte operations started
    long long swimBytes = 0;         // data bytes moved over the SWIM wire
    double emulatedSeconds = 0;      // emulated time since construction
    bool cpuRunning = true; // the chip's CPU neither stalled by the debug module nor in reset
    // The board on the probe, by name, with board swaps; empty when none is on or without them.
    std::string board;
    int boardsPutOn = 0; // boards put on the probe since construction, with board swaps
    // The last option load found a byte whose complement does not match: the chip stays in
    // reset (RST_SR.EMCF set) until the pair is mended and the chip reset again.
    bool optionByteError = false;
    int chipResets = 0; // chip resets since construction (NRST, SWIM reset)
    // SWIM memory commands refused (status 0x05) because they reached flash, EEPROM or
    // option bytes while the controller was programming.
    long long busyRefusals = 0;
};

class Probe {
public:
    explicit Probe(Options options);
    ~Probe();
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    std::uint16_t vendorId() const;
    std::uint16_t productId() const;
    Generation generation() const;

    // Device level, as libusb reports it.
    bool present() const; // listed on the bus (false for noProbe or after an unplug)
    int open();           // 0, LIBUSB_ERROR_ACCESS or LIBUSB_ERROR_NO_DEVICE
    void close();         // releases the interface too
    int claimInterface(int interfaceNumber);   // 0, BUSY (fault, or another process), NOT_FOUND
    int releaseInterface(int interfaceNumber); // 0 or NOT_FOUND
    int resetDevice();                         // 0 or NO_DEVICE; aborts a half-received command

    // Same meaning and return codes as libusb_bulk_transfer: 0 or a negative LIBUSB_ERROR_*
    // value, *transferred set. A timeout of 0 waits without limit, as libusb does.
    int bulkTransfer(unsigned char endpoint, unsigned char* data, int length, int* transferred,
                     unsigned timeoutMs);

    // Inspection and set-up for tests; these bypass the protocol and cost no emulated time.
    // Non-volatile memory as stored (flash, EEPROM, option bytes); unmapped bytes read 0.
    std::vector<std::uint8_t> peek(std::uint32_t address, std::size_t length) const;
    // Stores bytes into flash, EEPROM or option bytes as if programmed long ago.
    void poke(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    Statistics statistics() const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kw::emu
