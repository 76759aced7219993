#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "programmer/Exports.h"
#include "stlink/Results.h"
#include "stlink/Stm8.h"
#include "stlink/Usb.h"
#include "target/Chip.h"

namespace kw::stlink {

// The SWIM speed a caller asks for. Auto: high speed when the chip offers it, low speed
// after repeated errors there. High: high speed where the chip offers it, never falling back.
enum class SwimSpeed { Auto, Low, High };

struct Settings {
    SwimSpeed speed = SwimSpeed::Auto;
    // The probe to use: a serial number or a port path ("1-2", "3-2.4"); empty: the first
    // usable one.
    std::string probe;
    Language language = Language::Chinese; // of the texts for the user
};

// Whether `text` is written as a port path, bus then ports ("1-1", "3-2.4"), rather than a
// serial number.
bool isPortPath(const std::string& text);

// One transfer with one chip: opened at its first call, kept for the calls that follow,
// closed when the transfer ends. After a failure every later call fails at once with the
// same code.
//
// A download call connects (the first time) and hands its two chip blocks to a worker thread,
// then returns: the blocks are programmed and verified while the tool pauses. The next call
// may queue its blocks behind them; the call after waits for that work and reports its
// failure; the last call waits for all of it. The worker lives only within the transfer: the
// last block, a failing call and the session's end join it, on the caller's thread.
class Session {
public:
    static constexpr int kFlashLength = kLargestChip.flashSize;
    static constexpr int kLastWriteOffset = kFlashLength - kSetFlashDataBlockSize;
    static constexpr int kLastReadOffset = kFlashLength - kGetFlashDataBlockSize;

    Session(std::unique_ptr<UsbPort> port, Settings settings);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // 128 bytes for flash at 0x8000 + offset; their programming and verification finish
    // after this returns and a failure there is the next call's result. The last block of
    // the flash waits for everything and also relocks and starts the new program.
    ResultCode write(std::int32_t offset, const std::uint8_t* block);
    // 32 bytes of flash from 0x8000 + offset.
    ResultCode read(std::int32_t offset, std::uint8_t* block);

    // The rest of the chip, on the caller's thread once the blocks handed over are done; the
    // chip programs each before the call returns. A chip with read-out protection refuses the
    // EEPROM calls (and flash) with code 4 but still takes the option-byte calls: that refusal
    // is not kept as the session's failure when they follow.
    // 64 bytes for EEPROM at 0x4000 + offset; a block that holds them already is left alone.
    ResultCode writeEeprom(std::int32_t offset, const std::uint8_t* block);
    ResultCode readEeprom(std::int32_t offset, std::uint8_t* block);
    // kOptionByteCount bytes from 0x4800.
    ResultCode readOptionBytes(std::uint8_t* bytes);
    // Index 0: ROP alone; an odd index: OPTn and its complement. Bytes that hold their value
    // are not written. ROP leaving 0xAA is removeProtection() with another value.
    ResultCode writeOptionByte(int index, std::uint8_t value);
    // On a protected chip: ROP = 0x00, the erase it starts, a new connection that finds the
    // chip without protection. Nothing on a chip without it.
    ResultCode removeProtection();
    // Whether a chip answers on the probe, reached as a transfer reaches it, then left
    // running; one line for the "chip" topic. The session is finished afterwards.
    ResultCode lookForChip(std::string& text);
    // Whether a flash block was asked for: a later block at offset 0 starts a new transfer.
    bool flashUsed() const noexcept { return flashUsed_; }

    // What the bus holds and what the first usable probe's chip says, as lines of text for a
    // user; the code a download would have met. The session is finished afterwards.
    ResultCode report(std::string& text);

    std::optional<Reason> failure() const;
    // The failure's own text when it has one (naming the probes found), else empty.
    std::string failureText() const;
    bool finished() const noexcept { return finished_; }
    // Whether the worker thread is still there to be joined.
    bool workerRunning() const noexcept { return worker_.joinable(); }
    // Lets the worker finish the job handed over and joins it. A job's every USB transfer and
    // poll has its own limit, so this returns even when the probe hangs.
    void stopWorker() noexcept;
    // Waits (within the probe's limit) for the worker's jobs to end, then releases the chip
    // and the probe without joining it; false (nothing done) when a job hangs. The worker
    // must never be woken afterwards.
    bool releaseBesideIdleWorker() noexcept;
    // What was found, for the log: probe, firmware, SWIM speed; empty before connecting.
    std::string description() const;

private:
    using Block128 = std::array<std::uint8_t, kSetFlashDataBlockSize>;
    struct Block {
        std::uint32_t address = 0;
        std::array<std::uint8_t, Stm8::kBlockSize> data{};
    };

    // Runs `work`, turning a failure into the session's failure; errors at high speed make
    // it connect again at low speed and run `work` again, when the speed is the library's
    // to choose.
    // `despiteProtection`: work that a read-out protected chip allows, run also after a call
    // that the protection refused.
    ResultCode guarded(const std::function<void()>& work, bool despiteProtection = false);
    // For the calls made on the caller's thread: the worker's jobs first, then `work`.
    ResultCode afterWorker(const std::function<void()>& work, bool despiteProtection = false);
    void fail(Reason reason, const std::string& text = {});
    // The chip connected, refused when read-out protected.
    void connect();
    // The chip connected, protected or not.
    void attach();
    void connectChip();
    // Enters the chip anew under reset, so that it loads its option bytes.
    void reenter();
    // Reads the block at `address` and programs it when it holds other bytes, then checks it.
    void programEepromBlock(std::uint32_t address, const std::uint8_t* data);
    // Programs the option bytes from `index` on with `values`, those that differ, and checks
    // them.
    void programOptionBytes(int index, const std::uint8_t* values, int count);
    void removeProtectionNow();
    void reconnectAtLowSpeed();
    // After a memory access: whether errors at high speed ask for the fallback now.
    void checkLink() const;
    void openProbe();
    // The index in port_->list() of the probe settings_.probe names; throws when none or,
    // for a serial, several have it.
    int chosenIndex(const std::vector<ProbeListing>& probes) const;
    // Opens the index-th probe and keeps it when it answers and has SWIM, else notes why not
    // in `reason` (unless a reason is there already); false when there is no such probe.
    bool openProbeAt(int index, std::optional<Reason>& reason);
    void describe(std::string text);
    ResultCode reportOn(std::string& text);
    void reportChip(std::string& text);

    // The worker: one job runs, the next may wait.
    void runWorker();
    void post(std::function<void()> job);
    // Until no job waits (and, for `wholeQueue`, none runs); false when that takes beyond
    // reason: the probe hangs.
    bool waitFor(bool wholeQueue);

    // A download call up to handing its blocks over (and, for the last, waiting for them).
    ResultCode queueBlocks(std::int32_t offset, const std::uint8_t* block);
    // Worker side of a download call.
    void writeBlocks(std::int32_t offset, const Block128& data);
    // Bytes from the start of the block at `address` known to be what the chip holds there.
    int heldKnown(std::uint32_t address) const;
    // Reads what the chip holds from `address` on, `length` bytes; when the block in flight
    // lies just before, the read verifies it and fetches only the look-ahead.
    void fetchHeld(std::uint32_t address, int length);
    void program(std::uint32_t address, const std::uint8_t* data);
    // Waits for the block in flight and checks what the chip now holds there; the same read
    // fetches the first `lookahead` bytes after the block into held_.
    void settle(int lookahead = 0);
    void verify(const Block& block, std::uint8_t* held);
    void finish();
    void close() noexcept;
    // Lets the chip run and takes the probe out of SWIM, as far as they still answer.
    void release() noexcept;

    std::unique_ptr<UsbPort> port_;
    Settings settings_;
    std::unique_ptr<StLink> probe_;
    std::unique_ptr<Stm8> chip_;
    std::atomic<bool> finished_ = false;
    std::string probeText_;     // model, USB ID, firmware
    std::string description_;   // guarded by mutex_
    bool lowSpeedOnly_ = false; // after a fallback
    bool connected_ = false;    // by the caller's thread, before the first job
    // How long the caller waits for the worker before it counts the probe as hanging: more
    // on a USB that was measured slow.
    std::atomic<long long> waitLimitUs_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> job_; // waiting for the worker
    bool running_ = false;
    bool stopping_ = false;
    std::optional<Reason> failure_;
    std::string failureText_;
    std::thread worker_;

    bool flashUsed_ = false;

    // Touched by one thread at a time: the worker while busy, the caller otherwise.
    bool unlocked_ = false;
    bool dataUnlocked_ = false; // EEPROM and option bytes
    bool protected_ = false;    // ROP as the chip loaded it at its last reset
    std::optional<Block> inFlight_;
    // A block that was programming when the link was made again: written and checked anew.
    std::optional<Block> redo_;
    // What the chip holds, from flash offsets heldFrom_ to heldTo_, read before programming.
    std::array<std::uint8_t, kFlashLength> held_{};
    int heldFrom_ = 0;
    int heldTo_ = 0;
    // How much of the next block the read that verifies a block also fetches: a few bytes
    // while blocks keep changing, the whole block after an unchanged or erased one.
    int lookahead_ = Stm8::kBlockSize;
    // Set once a block past 4 KB read back as erased after programming: a 4 KB chip.
    bool smallChip_ = false;
    std::array<std::uint8_t, kFlashLength> readCache_{};
    int cached_ = 0; // bytes of readCache_ filled from the chip, from its start
};

// The library's state between calls: the session of the running transfer and the reason of
// the last failure, for GetErrorText.
class Programmer {
public:
    using PortFactory = std::function<std::unique_ptr<UsbPort>()>;

    explicit Programmer(PortFactory ports);
    // Runs when the host unloads the library. A host that unloads it in the middle of a
    // download without EndTransfer leaves the worker alive, and joining it here would
    // deadlock under the Windows loader lock: once the worker's jobs are done the session is
    // released from this thread, and the idle worker stays blocked, with its signals blocked,
    // until the process ends.
    ~Programmer();
    Programmer(const Programmer&) = delete;
    Programmer& operator=(const Programmer&) = delete;

    // A caller's wish for the transfers that follow: "swim" = "auto", "low" or "high";
    // "probe" = a serial or a port path, empty for the first usable probe. False for a name or
    // value the library does not know; nothing changes then.
    bool setOption(const char* name, const char* value);
    // "probes": the probes on the bus and the chosen (or first usable) one's chip (connects,
    // then lets the chip run); "list": one line per probe, without touching any chip;
    // "session": the probe and SWIM speed of the current or last transfer; "chip": whether a
    // chip answers on the probe the settings choose (a transfer in progress ends first), as
    // `chip=present rop=yes|no`, else the failure's text. The text as UTF-8 lines; the code is
    // the library's result code for what was found.
    ResultCode report(const char* topic, std::string& text);

    ResultCode setFlashData(std::int32_t offset, const std::uint8_t* block);
    ResultCode getFlashData(std::int32_t offset, std::uint8_t* block);
    // The rest of the chip, in the transfer in progress (or a new one); bad arguments give
    // code 2 without touching the probe.
    ResultCode setEepromData(std::int32_t offset, const std::uint8_t* block);
    ResultCode getEepromData(std::int32_t offset, std::uint8_t* block);
    ResultCode getOptionBytes(std::uint8_t* buffer, std::int32_t size);
    ResultCode setOptionByte(std::int32_t index, std::uint8_t value);
    ResultCode removeReadoutProtection();
    int errorText(int code, char* buffer, int size) const noexcept;
    // Ends the transfer: joins its worker, then its session releases the chip and the probe.
    void end() noexcept;
    // A call failed inside the library itself: GetErrorText then explains code 9.
    ResultCode internalFault() noexcept;
    // The probe and SWIM speed of the current or last transfer; empty before one connected.
    std::string description() const;
    const Settings& settings() const noexcept { return settings_; }

private:
    Session& sessionAt(std::int32_t offset);
    // The session the whole-chip calls join: the transfer's, or a new one.
    Session& currentSession();
    ResultCode badArgument();
    ResultCode note(ResultCode result);

    PortFactory ports_;
    Settings settings_;
    std::unique_ptr<Session> session_;
    std::string lastDescription_; // of the last session that connected
    std::optional<Reason> lastFailure_;
    std::string lastFailureText_;
};

// "list": one line per ST-LINK on the bus, both read by people and parsed by scripts:
// `PATH serial=SERIAL product=0483:PID generation=V2|V2-1|V3 firmware=V2J37S7|- swim=yes|no|-
// usable=yes|no-permission|busy|no-swim|unresponsive`. SERIAL has spaces, '%', '=' and
// anything outside printable ASCII written as %XX; "-" where nothing is known.
std::string listProbes(UsbPort& port);

} // namespace kw::stlink
