#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "programmer/Programmer.h"

namespace kw::cli {

// `kwflash probe`: the library's report on the probes on the bus and the first usable one's
// chip, on `out`, in one session of `programmer`. Returns the exit code; a failure's line
// goes to `err`.
int runProbe(Programmer& programmer, const SessionOptions& options, std::FILE* out, std::FILE* err);

// `kwflash list`: the library's line for each probe on the bus (report topic "list"), on `out`
// as they come. Returns the exit code: 1 when there is no probe at all.
int runList(Programmer& programmer, const SessionOptions& options, std::FILE* out, std::FILE* err);

// One line of the "list" report, as far as kwflash needs it.
struct ListedProbe {
    std::string path;
    std::string serial; // as the line writes it, %XX escapes kept
    bool usable = false;
};

// The lines of a "list" report that name a probe; others are skipped.
std::vector<ListedProbe> parseProbeList(const std::string& text);

} // namespace kw::cli
