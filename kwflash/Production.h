#pragma once

#include <cstdio>

#include "kwflash/Arguments.h"
#include "programmer/Programmer.h"

namespace kw::cli {

// `write` with --loop, serial numbers, --log or --json: board after board on one probe, or
// on every usable probe at once with --all, each board programmed, verified, given its
// serial number, reported as a PASS or FAIL line (or a JSON object) and logged. Returns the
// exit code: the highest of the boards' (0 when all passed), or that of a fault that stopped
// the run.
int runProduction(const Options& options, const ProgrammerFactory& factory, std::FILE* out,
                  std::FILE* err);

} // namespace kw::cli
