#pragma once

// What the commands share: how one ends, the session each transfer gets, and the wording of a
// transfer that did not complete.

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "kwflash/Arguments.h"
#include "kwflash/Progress.h"
#include "programmer/Transfer.h"
#include "settings/AtomicFile.h"

namespace kw::cli {

// Ends the command: the exit code and the one line that explains it.
struct Failure {
    Failure(int code, std::string text, ResultCode library = 0, std::string libraryWords = {})
        : exitCode(code), message(std::move(text)), libraryCode(library),
          libraryText(std::move(libraryWords)) {}
    int exitCode;
    std::string message;
    ResultCode libraryCode;  // a failed block: what the library returned, for the result log
    std::string libraryText; // ... and its own text for it
};

// Each transfer of a command gets a programmer of its own, in a session with the command's
// wishes.
struct Session {
    const ProgrammerFactory& programmer;
    SessionOptions options;
    ConsoleHost& host;
};

std::string quoted(const std::filesystem::path& file);
// "0x" and `digits` upper-case hexadecimal digits.
std::string hex(std::uint32_t value, int digits);
// "0x8000-0x807F".
std::string addressRange(std::uint32_t first, std::uint32_t last);
// The loaders' texts open a sentence of their own; here they follow "kwflash: ".
std::string lowerFirst(std::string text);
std::string chipName(const Options& options);

// Which programmer and link the transfer used, when the library says and it differs from the
// command's last transfer.
void sayProgrammer(ConsoleHost& host);

// What a command's transfer was to do, for the words on one that did not complete.
struct TransferPlan {
    int flashBlocks = 0;  // of the part's own block size
    int eepromBlocks = 0; // 64-byte blocks
    // The option bytes in the order they were written: (index, value).
    std::vector<std::pair<int, std::uint8_t>> optionWrites;
    const char* whenStopped = "the chip holds a partial image"; // interrupted after a block
    const char* whenUntouched = "the chip is unchanged";        // ... before the first
};

// The block that failed and what was done to it: "writing block 5 (0x8280-0x82FF)",
// "reading EEPROM block 1 (0x4040-0x407F)", "writing option byte UBC (0x4801)".
std::string failedBlock(const TransferFailure& failure, const TransferPlan& plan);

// Throws the failure for a transfer that did not complete; returns when it did.
void checkTransfer(const TransferResult& result, const TransferPlan& plan);

// The output of read: a link there is replaced, never followed, and stale temporaries of
// an earlier kwflash are cleared.
ReplaceOptions outputOptions(const Options& options);
// Throws the failure for an output that cannot be replaced.
void checkOutcome(const Options& options, const ReplaceOutcome& outcome);

} // namespace kw::cli
