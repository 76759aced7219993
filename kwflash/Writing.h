#pragma once

// The steps of kwflash's write that the production runner repeats board after board.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "image/ImageBuffer.h"
#include "kwflash/Arguments.h"
#include "kwflash/ProbeCommand.h"
#include "kwflash/Progress.h"
#include "programmer/Programmer.h"

namespace kw::cli {

// Ends the command (or the board): the exit code and the one line that explains it.
struct Failure {
    Failure(int code, std::string text, ResultCode library = 0, std::string libraryWords = {})
        : exitCode(code), message(std::move(text)), libraryCode(library),
          libraryText(std::move(libraryWords)) {}
    int exitCode;
    std::string message;
    ResultCode libraryCode;  // a failed block: what the library returned
    std::string libraryText; // ... and its own text for it
};

// The image as the chip's flash: exactly flashSize bytes, erased where the file has nothing.
struct Image {
    std::unique_ptr<ImageBuffer> bytes;
    std::string description;
};

// Each transfer of a command gets a programmer of its own, in a session with the command's
// wishes.
struct Session {
    const ProgrammerFactory& programmer;
    SessionOptions options;
    ConsoleHost& host;
};

// Throws Failure for a file that cannot be programmed whole.
Image loadImage(const Options& options);

// Writes and (unless told not to) verifies; returns what was done, for the summary. Throws
// Failure.
std::string writeImage(const Options& options, const ImageBuffer& image, Session& session);

// The usable probes on the bus, in bus order, from the library's "list" report. Throws
// Failure when the library cannot list them or none is usable.
std::vector<ListedProbe> usableProbes(const Options& options, const ProgrammerFactory& factory);

// The line that names the image's CRC-32 and the bytes it covers.
std::string crcLine(const Options& options, const ImageBuffer& image);
std::uint32_t imageCrc(const Options& options, const ImageBuffer& image);

std::string quoted(const std::filesystem::path& file);

} // namespace kw::cli
