#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "kwflash/Arguments.h"
#include "kwflash/ChipImage.h"
#include "programmer/Programmer.h"

namespace kw::cli {

// `write` with --loop, serial numbers, --log or --json: board after board on one probe, or
// on every usable probe at once with --all, each board programmed, verified, given its
// serial number, reported as a PASS or FAIL line (or a JSON object) and logged. Returns the
// exit code: the highest of the boards' (0 when all passed), or that of a fault that stopped
// the run.
int runProduction(const Options& options, const ProgrammerFactory& factory, std::FILE* out,
                  std::FILE* err);

// The CRC-32 (as zlib computes it) of each area the image writes: the area's whole image as
// the file gives it, 0x00 (the erased state) where it gives nothing; the same for every board
// (before its serial number). ("flash", sum), ("eeprom", sum), ("option", sum).
std::vector<std::pair<std::string, std::uint32_t>> areaCrcs(const Options& options,
                                                            const ChipImage& image);
// One line each, naming the bytes each sum covers, printed before a write and by `crc`.
std::vector<std::string> crcLines(const Options& options, const ChipImage& image);

} // namespace kw::cli
