#pragma once

#include <cstdio>

#include "programmer/Programmer.h"

namespace kw::cli {

// `kwflash probe`: the library's report on the probes on the bus and the first usable one's
// chip, on `out`, in one session of `programmer`. Returns the exit code; a failure's line
// goes to `err`.
int runProbe(Programmer& programmer, const SessionOptions& options, std::FILE* out, std::FILE* err);

} // namespace kw::cli
