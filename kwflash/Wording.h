#pragma once

#include <string>

#include "kwflash/Arguments.h"
#include "programmer/Programmer.h"
#include "programmer/Transfer.h"

namespace kw::cli {

// The session a command's options ask of the library. The defaults are not passed, so a
// library that cannot be told options serves a command line that asks for none.
SessionOptions sessionOptions(const Options& options);

// Why a session did not open, after "kwflash: ": a library that did not load, or one that
// does not take a wish of the command line.
std::string openFailureText(const TransferFailure& failure);

// A programmer that went away, after "kwflash: ".
std::string stoppedText(const ProgrammerStopped& stop);

} // namespace kw::cli
