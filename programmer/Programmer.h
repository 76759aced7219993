#pragma once

#include <cstdint>
#include <memory>
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
};

// The operations a session's library may offer. The block transfers are the contract's two
// exports; the rest are optional.
enum class Operation { WriteBlock, ReadBlock, ErrorText, Options, Report, EndTransfer };

// Thrown by a session's calls when the programmer itself went away in the middle: its
// library crashed, exited or stopped answering (only a programmer in another process can
// survive that to tell). what() is one line for the user, e.g. "killed by signal 11
// (Segmentation fault)", "exited with status 3", "no answer within 5 s".
class ProgrammerStopped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
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
    virtual bool offers(Operation operation) const = 0;

    // The contract's calls. Offsets and sizes as SetFlashData / GetFlashData take them.
    virtual ResultCode writeBlock(std::int32_t offset,
                                  std::span<const std::uint8_t, kSetFlashDataBlockSize> block) = 0;
    virtual ResultCode readBlock(std::int32_t offset,
                                 std::span<std::uint8_t, kGetFlashDataBlockSize> block) = 0;
    // The library's own text for a code it returned; empty when it has none.
    virtual std::string errorText(ResultCode code) = 0;
    // The library's report on a topic ("probes", "session"); code as the library returned it.
    virtual std::string report(const std::string& topic, ResultCode& code) = 0;

    // Ends the session: tells the library the transfer is over, then releases it. Safe to
    // call twice and after a failed open().
    virtual void close() = 0;
};

} // namespace kw
