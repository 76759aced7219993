#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "programmer/Exports.h"

namespace kw {

// What a caller wishes of one session, handed to the library before its first block through
// its optional SetProgrammerOption, in this order: ("swim", "auto|low|high"), ("probe",
// "SERIAL" or "PORT-PATH"). Empty: the library's defaults, as the window uses it.
struct SessionOptions {
    std::vector<std::pair<std::string, std::string>> settings;
    // Passed after the settings, but a library that refuses one or cannot be told options
    // still opens, with its own default: ("language", "en").
    std::vector<std::pair<std::string, std::string>> preferences{};
};

// The operations a session's library may offer. The block transfers are the contract's two
// exports; the rest are optional.
enum class Operation {
    WriteBlock,
    ReadBlock,
    ErrorText,
    Options,
    Report,
    EndTransfer,
    WriteEeprom,      // SetEepromData
    ReadEeprom,       // GetEepromData
    ReadOptionBytes,  // GetOptionBytes
    WriteOptionByte,  // SetOptionByte
    RemoveProtection, // RemoveReadoutProtection
    BlockPauses,      // NeedsBlockPauses
};

// How a programmer went away.
enum class StopKind {
    Signal,  // value(): the signal that killed it
    Exit,    // value(): its exit status
    Timeout, // value(): the seconds a call went without an answer
};

// Thrown by a session's calls when the programmer itself went away in the middle: its
// library crashed, exited or stopped answering (only a programmer in another process can
// survive that to tell). Each host words it from kind() and value(); what() is a plain
// English line for logs, e.g. "killed by signal 11", "exited with status 3", "no answer
// within 5 s".
class ProgrammerStopped : public std::runtime_error {
public:
    ProgrammerStopped(StopKind kind, int value)
        : std::runtime_error(describe(kind, value)), kind_(kind), value_(value) {}
    StopKind kind() const noexcept { return kind_; }
    int value() const noexcept { return value_; }

private:
    static std::string describe(StopKind kind, int value) {
        switch (kind) {
        case StopKind::Signal:
            return "killed by signal " + std::to_string(value);
        case StopKind::Exit:
            return "exited with status " + std::to_string(value);
        case StopKind::Timeout:
            break;
        }
        return "no answer within " + std::to_string(value) + " s";
    }

    StopKind kind_;
    int value_;
};

// After an open() that failed on an option: which one, and whether the library has no way
// to be told options at all (no SetProgrammerOption) rather than refusing this value.
struct OptionRefusal {
    std::string name;
    std::string value;
    bool noOptionExport = false;
};

// The programmer as a transfer sees it. One session per transfer: open() loads the library
// (or starts the process that loads it), close() releases it. Calls are made from one thread.
class Programmer {
public:
    virtual ~Programmer() = default;

    // Starts a session. false when there is no library to talk to: openFailure() then says
    // why in one line (empty when no library file was found anywhere), or the library
    // refused one of the options.
    virtual bool open(const SessionOptions& options) = 0;
    virtual std::string openFailure() const = 0;
    // Set only when the last open() failed on an option; the host words it.
    virtual std::optional<OptionRefusal> refusedOption() const = 0;
    virtual bool offers(Operation operation) const = 0;

    // The contract's calls. Offsets and sizes as SetFlashData / GetFlashData take them.
    // Without a session or the export: kProgrammerNotFound.
    virtual ResultCode writeBlock(std::int32_t offset,
                                  std::span<const std::uint8_t, kSetFlashDataBlockSize> block) = 0;
    virtual ResultCode readBlock(std::int32_t offset,
                                 std::span<std::uint8_t, kGetFlashDataBlockSize> block) = 0;
    // The library's own text for a code it returned; empty when it has none.
    virtual std::string errorText(ResultCode code) = 0;
    // The library's report on a topic ("probes", "session"); code as the library returned it.
    // Without the export: an empty text and code 2, as for a topic the library does not know.
    virtual std::string report(const std::string& topic, ResultCode& code) = 0;

    // The optional whole-chip calls, with the meaning of their exports. Without a session or
    // the export: kProgrammerNotFound (check offers() first to tell the two apart).
    virtual ResultCode writeEepromBlock(std::int32_t /*offset*/,
                                        std::span<const std::uint8_t, kEepromBlockSize>) {
        return kProgrammerNotFound;
    }
    virtual ResultCode readEepromBlock(std::int32_t /*offset*/,
                                       std::span<std::uint8_t, kEepromBlockSize>) {
        return kProgrammerNotFound;
    }
    virtual ResultCode readOptionBytes(std::span<std::uint8_t, kOptionByteCount>) {
        return kProgrammerNotFound;
    }
    virtual ResultCode writeOptionByte(std::int32_t /*index*/, std::uint8_t /*value*/) {
        return kProgrammerNotFound;
    }
    virtual ResultCode removeReadoutProtection() { return kProgrammerNotFound; }
    // Whether the host must pause between download blocks; true without the export.
    virtual bool needsBlockPauses() { return true; }

    // Ends the session: tells the library the transfer is over, then releases it. Safe to
    // call twice and after a failed open(). Never throws: a programmer that went away by
    // then is simply gone.
    virtual void close() = 0;
};

// Makes the programmer a host uses, one per transfer.
using ProgrammerFactory = std::function<std::unique_ptr<Programmer>()>;

// The system's name for a signal ("Segmentation fault"), empty when it has none.
std::string signalName(int signal);

} // namespace kw
