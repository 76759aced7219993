#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "programmer/Exports.h"

namespace kw::stlink {

// Result codes of the ST-LINK library's exports. 1 makes the tool show its "programmer not
// found" box; the others it logs. The README's table says what the user does for each.
enum Code : ResultCode {
    kDone = 0,
    kNoProgrammer = 1,   // none plugged in, no permission, held by another program, no SWIM
    kBadArgument = 2,    // null block or buffer, an offset outside the area or off its block grid
    kTargetSilent = 3,   // the chip does not answer over SWIM: wiring, power
    kProtected = 4,      // read-out protection or write-protected boot blocks (UBC)
    kVerifyMismatch = 5, // the chip holds other bytes than were programmed
    kProgramTimeout = 6, // the flash controller never reported the end of a block
    kProbeLost = 7,      // USB failed during the transfer: unplugged or stuck probe
    kImageTooLarge = 8,  // data past the end of a 4 KB chip's flash
    kInternalFault = 9,  // the library itself failed (out of memory, a defect): not the probe
};

// Why a call failed, finer than its code: each reason has its own text for the user.
enum class Reason {
    NoProbe,
    ChosenProbeMissing, // no probe on the bus has the serial or port path asked for
    SerialShared,       // the serial asked for belongs to several probes (clones)
    NoPermission,
    ProbeBusy,
    NoSwim,
    ProbeUnresponsive,
    BadArgument,
    TargetSilent,
    ReadOutProtected,
    WriteProtected,
    ProtectionKept, // ROP still set after it was written 0x00 and the chip reset
    VerifyMismatch,
    ProgramTimeout,
    ProbeLost,
    ImageTooLarge,
    InternalFault,
};

Code codeOf(Reason reason) noexcept;

// The language of the texts for the user. Chinese is the library's own; English is for the
// command line.
enum class Language { Chinese, English };

// The UTF-8 text for the user: what went wrong and what to do.
const char* textOf(Reason reason, Language language = Language::Chinese) noexcept;

// The language a SetProgrammerOption value names: "zh" or "en"; false for any other.
bool languageNamed(std::string_view name, Language& language) noexcept;

// The reason the library reports for a code when it knows nothing finer.
bool defaultReasonOf(ResultCode code, Reason& reason) noexcept;

// Thrown inside the library; the exports turn it into a result code.
class Failure : public std::runtime_error {
public:
    explicit Failure(Reason reason);
    // With a text of its own for the user instead of the reason's, naming what was found.
    Failure(Reason reason, const std::string& text);
    Reason reason() const noexcept { return reason_; }
    Code code() const noexcept { return codeOf(reason_); }
    const std::string& text() const noexcept { return text_; }

private:
    Reason reason_;
    std::string text_;
};

// Copies `text` into buffer[0..size) NUL-terminated, cut before a UTF-8 character that would
// not fit; returns the length of the whole text in bytes. Writes nothing when `buffer` is
// null or `size` is not positive.
int copyTextCut(const char* text, char* buffer, int size) noexcept;

} // namespace kw::stlink
