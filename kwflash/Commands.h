#pragma once

#include <cstdio>

#include "kwflash/Arguments.h"
#include "kwflash/ProbeCommand.h"
#include "programmer/Programmer.h"

namespace kw::cli {

// What the process returns; scripts rely on these values.
enum ExitCode : int {
    kDone = 0,
    kNoProgrammer = 1,
    kBadImageFile = 2,
    kVerifyMismatch = 3,
    kProgrammerFailed = 4,
    kWrongUsage = 64,
    kInternalError = 70,    // a fault of kwflash itself, or a library that stopped
    kInterruptedBase = 128, // plus the signal: 130 for Ctrl+C, 143 for SIGTERM
};

// Runs one parsed command, each transfer with a programmer from `programmer`. Progress and the
// summary go to `out`, errors to `err`, one line each.
int runCommand(const Options& options, const ProgrammerFactory& programmer, std::FILE* out,
               std::FILE* err);

// The usable probes on the bus, in bus order, from the library's "list" report. Throws
// Failure when the library cannot list them or none is usable.
std::vector<ListedProbe> usableProbes(const Options& options, const ProgrammerFactory& factory);

// The whole command line: arguments, the library beside the executable or the one named, the
// command. `argv` as main() received it.
int runCommandLine(int argc, const char* const* argv);

} // namespace kw::cli
