#pragma once

// The commands on the whole chip: write, read and verify of flash, EEPROM and option bytes,
// `options` and `unlock`.

#include <string>

#include "kwflash/ChipImage.h"
#include "kwflash/CommandParts.h"

namespace kw::cli {

// Writes every area the image holds, checks what it wrote unless told not to, then protects
// the chip when the image sets ROP. Returns the summary line. Throws Failure.
std::string writeChip(const Options& options, const ChipImage& image, Session& session);

void runWrite(const Options& options, Session& session);
void runRead(const Options& options, Session& session);
void runVerify(const Options& options, Session& session);
void runOptions(const Options& options, Session& session);
void runUnlock(const Options& options, Session& session);

// The "Image" line's account of what the image holds: "flash 0x8000-0x80FF (256 bytes), ...".
std::string contents(const ChipImage& image);

} // namespace kw::cli
