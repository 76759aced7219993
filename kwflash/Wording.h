#pragma once

#include <string>
#include <vector>

#include "kwflash/Arguments.h"
#include "programmer/Programmer.h"
#include "programmer/Transfer.h"
#include "target/OptionBytes.h"

namespace kw::cli {

// The session a command's options ask of the library. The defaults are not passed, so a
// library that cannot be told options serves a command line that asks for none.
SessionOptions sessionOptions(const Options& options);

// Why a session did not open, after "kwflash: ": a library that did not load, or one that
// does not take a wish of the command line.
std::string openFailureText(const TransferFailure& failure);

// A programmer that went away, after "kwflash: ".
std::string stoppedText(const ProgrammerStopped& stop);

// A library without the export a part of the transfer needs, after "kwflash: ".
std::string exportMissingText(TransferKind kind, const char* exportName);

// The option byte a programmer writes at `index` from 0x4800: "ROP", "UBC", "OPT3" ...
std::string optionByteName(int index);

// The option bytes decoded, one setting a line, aligned: name, value, meaning; then whether
// each complement matches.
std::vector<std::string> optionLines(const OptionBytes& bytes, const Chip& chip);

} // namespace kw::cli
