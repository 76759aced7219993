#include "kwflash/Commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "image/Errors.h"
#include "image/FileReader.h"
#include "image/ImageBuffer.h"
#include "image/IntelHexLoader.h"
#include "image/IntelHexWriter.h"
#include "kw/Version.h"
#include "kwflash/Interrupts.h"
#include "kwflash/ProbeCommand.h"
#include "kwflash/Progress.h"
#include "kwflash/Wording.h"
#include "programmer/ModuleFolder.h"
#include "programmer/ProcessProgrammer.h"
#include "programmer/Transfer.h"
#include "settings/AtomicFile.h"

namespace kw::cli {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kFlashBase = kHexFlashBase;

// Ends the command: the exit code and the one line that explains it.
struct Failure {
    int exitCode;
    std::string message;
};

std::string quoted(const fs::path& file) {
    return "\"" + file.string() + "\"";
}

std::string hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string chipAddress(std::int64_t offset) {
    return hex(kFlashBase + static_cast<std::uint32_t>(offset), 4);
}

// The loaders' texts open a sentence of their own; here they follow "kwflash: ".
std::string lowerFirst(std::string text) {
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::string notFitting(const Options& options) {
    return quoted(options.file) + " does not fit the " + std::string(options.chip->name) + "'s " +
           std::to_string(options.chip->flashSize) + " bytes of flash";
}

// The image as the chip's flash: exactly flashSize bytes, erased where the file has nothing.
// A file the loaders would cut to fit is refused: programming part of an image is worse than
// programming none of it.
struct Image {
    std::unique_ptr<ImageBuffer> bytes;
    std::string description;
};

Image loadIntelHexImage(const Options& options) {
    const std::int32_t size = options.chip->flashSize;
    HexLoadResult loaded = loadIntelHexFile(options.file, size, HexChecks::Strict);
    std::vector<std::string> areas;
    const auto describe = [&](const HexArea& area, const char* what) {
        if (area.count() != 0)
            areas.push_back(std::string(what) + " at " + hex(area.first(), 4) + "-" +
                            hex(area.last(), 4));
    };
    describe(loaded.eeprom, "EEPROM data");
    describe(loaded.options, "option-byte data");
    if (!areas.empty())
        throw Failure{kBadImageFile, quoted(options.file) + " is not only flash: it holds " +
                                         areas.front() +
                                         (areas.size() > 1 ? " and " + areas.back() : "") +
                                         "; kwflash writes flash only"};
    if (loaded.cut) {
        if (loaded.base == kFlashBase)
            throw Failure{kBadImageFile, notFitting(options) + ": it has data past " +
                                             chipAddress(static_cast<std::int64_t>(size) - 1)};
        throw Failure{kBadImageFile, notFitting(options) + ": it has data past offset " +
                                         hex(size - 1, 4) + " (with records below " +
                                         hex(kFlashBase, 4) +
                                         " in the file, every address is an offset in the image)"};
    }
    // Programmed, it would erase the chip: what a failed build or a truncated copy leaves.
    if (!loaded.hasData)
        throw Failure{kBadImageFile, quoted(options.file) + " holds no data records"};
    auto image = makeErasedImage(size, size);
    image->copyIn(0, loaded.image->bytes().first(static_cast<std::size_t>(size)));
    return {std::move(image), loaded.base == kFlashBase
                                  ? "Intel HEX, addresses from " + hex(kFlashBase, 4)
                                  : std::string("Intel HEX, addresses from 0")};
}

Image loadRawImage(const Options& options) {
    const std::int32_t size = options.chip->flashSize;
    // One byte more than the chip holds tells a file that is too long from one that fits.
    auto image = makeErasedImage(static_cast<std::int64_t>(size) + 1, size);
    const std::size_t length = readFilePrefix(options.file, image->mutableBytes());
    if (length > static_cast<std::size_t>(size)) {
        std::error_code ec;
        const auto fileLength = fs::file_size(options.file, ec);
        throw Failure{kBadImageFile, notFitting(options) +
                                         (ec ? std::string(": it is longer")
                                             : ": it is " + std::to_string(fileLength) + " bytes")};
    }
    auto fitted = makeErasedImage(size, size);
    fitted->copyIn(0, image->bytes().first(length));
    return {std::move(fitted), "raw binary, " + std::to_string(length) + " bytes"};
}

Image loadImage(const Options& options) {
    try {
        // An empty file is what a failed build leaves behind; taken as an image it would
        // erase the chip.
        std::error_code ec;
        if (fs::is_regular_file(options.file, ec) && fs::file_size(options.file, ec) == 0 && !ec)
            throw Failure{kBadImageFile, quoted(options.file) + " is empty"};
        return options.format == ImageFormat::IntelHex ? loadIntelHexImage(options)
                                                       : loadRawImage(options);
    } catch (const IoError& e) {
        throw Failure{kBadImageFile, lowerFirst(e.what())};
    } catch (const ConvertError& e) {
        throw Failure{kBadImageFile, quoted(options.file) + " is not valid Intel HEX: " + e.what()};
    }
}

std::string blockRange(int block, int blockSize) {
    const std::int64_t first = static_cast<std::int64_t>(block) * blockSize;
    return chipAddress(first) + "-" + chipAddress(first + blockSize - 1);
}

// What a transfer is, for its messages.
struct TransferWords {
    const char* exportName;
    const char* doing; // "writing", "reading"
    int blockSize;
    int blockCount;
    const char* whenStopped;   // the state it leaves when interrupted after some blocks
    const char* whenUntouched; // ... before the first block
};

constexpr TransferWords kWriting{kSetFlashDataName,
                                 "writing",
                                 download::kBlockSize,
                                 download::kBlockCount,
                                 "the chip holds a partial image",
                                 "the chip is unchanged"};

std::string interruptedMessage(const TransferWords& kind, int blocksDone) {
    const std::string count = " of " + std::to_string(kind.blockCount);
    if (blocksDone == 0)
        return "interrupted before block 1" + count + "; " + kind.whenUntouched;
    return "interrupted after block " + std::to_string(blocksDone) + count + "; " +
           kind.whenStopped;
}

// Turns a transfer that did not complete into the failure to report.
void checkTransfer(TransferOutcome outcome, const TransferFailure& failure,
                   const TransferWords& kind) {
    const char* exportName = kind.exportName;
    const char* doing = kind.doing;
    const int blockSize = kind.blockSize;
    switch (outcome) {
    case TransferOutcome::Completed:
        return;
    case TransferOutcome::LibraryMissing:
    case TransferOutcome::OptionRefused:
        throw Failure{kNoProgrammer, openFailureText(failure)};
    case TransferOutcome::Stopped:
        throw Failure{kInternalError, stoppedText(*failure.stop)};
    case TransferOutcome::ExportMissing:
        throw Failure{kNoProgrammer,
                      std::string("the programmer library has no ") + exportName + " export"};
    case TransferOutcome::BlockFailed:
        break;
    case TransferOutcome::Cancelled:
        throw Failure{kInterruptedBase + interruption(), interruptedMessage(kind, failure.block)};
    }
    const std::string where = "block " + std::to_string(failure.block) + " (" +
                              blockRange(failure.block, blockSize) + ")";
    const std::string text = failure.libraryText.empty() ? "" : ": " + failure.libraryText;
    if (failure.code == kProgrammerNotFound)
        throw Failure{kNoProgrammer,
                      "no programmer found: code 1 " + std::string(doing) + " " + where + text};
    throw Failure{kProgrammerFailed, "the programmer failed " + std::string(doing) + " " + where +
                                         " with code " + std::to_string(failure.code) + text};
}

// Each transfer of a command gets a programmer of its own, in a session with the command's
// wishes.
struct Session {
    const ProgrammerFactory& programmer;
    SessionOptions options;
    ConsoleHost& host;
};

// Which programmer and link the transfer used, when the library says.
void sayProgrammer(ConsoleHost& host) {
    if (!host.lastSession().empty())
        host.say("Programmer: " + host.lastSession());
}

void download(const ImageBuffer& image, Session& session) {
    ConsoleHost& host = session.host;
    host.begin("Writing");
    TransferResult result;
    {
        const auto programmer = session.programmer();
        result = runDownload(
            *programmer, [&image] { return &image; }, host, session.options);
    }
    host.endLine();
    sayProgrammer(host);
    checkTransfer(result.outcome, result.failure, kWriting);
}

// `whenStopped` says what an interrupted read leaves behind.
std::unique_ptr<ImageBuffer> readBack(Session& session, const char* label,
                                      const char* whenStopped) {
    const TransferWords kind{kGetFlashDataName,     "reading",   readback::kBlockSize,
                             readback::kBlockCount, whenStopped, whenStopped};
    ConsoleHost& host = session.host;
    host.begin(label);
    ReadBackResult result;
    {
        const auto programmer = session.programmer();
        result = runReadBack(*programmer, host, session.options);
    }
    host.endLine();
    sayProgrammer(host);
    checkTransfer(result.outcome, result.failure, kind);
    return std::move(result.image);
}

// Compares the chip's flash, as far as the chip has flash, with the image.
void compare(const ImageBuffer& image, const ImageBuffer& flash, const Chip& chip) {
    const auto expected = image.bytes().first(static_cast<std::size_t>(chip.flashSize));
    const auto actual = flash.bytes().first(static_cast<std::size_t>(chip.flashSize));
    std::optional<std::size_t> first;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == actual[i])
            continue;
        if (!first)
            first = i;
        ++differing;
    }
    if (!first)
        return;
    throw Failure{kVerifyMismatch,
                  "verify failed: " + std::to_string(differing) + " of " +
                      std::to_string(expected.size()) + " bytes differ, the first at " +
                      chipAddress(static_cast<std::int64_t>(*first)) + " (chip " +
                      hex(actual[*first], 2) + ", image " + hex(expected[*first], 2) + ")"};
}

// The output may lie in a folder others write to (/tmp) and kwflash may run as root: a link
// there is replaced, never followed to a file it names, and stale temporary files are cleared.
ReplaceOptions outputOptions(const Options& options) {
    ReplaceOptions replace;
    replace.followLinks = false;
    replace.replaceReadOnly = options.force;
    replace.removeStaleTemporaries = true;
    return replace;
}

void checkOutcome(const Options& options, const ReplaceOutcome& outcome) {
    std::string why;
    switch (outcome.status) {
    case ReplaceOutcome::Status::Replaced:
        return;
    case ReplaceOutcome::Status::NotRegular:
        why = ": it is not a regular file";
        break;
    case ReplaceOutcome::Status::ForeignLink:
        why = ": it is a symbolic link of another user in a shared (sticky) folder";
        break;
    case ReplaceOutcome::Status::ReadOnly:
        why = ": it is read-only (--force replaces it)";
        break;
    case ReplaceOutcome::Status::Failed:
        if (outcome.error != 0)
            why = ": " + std::generic_category().message(outcome.error);
        break;
    }
    throw Failure{kBadImageFile, "cannot write " + quoted(options.file) + why};
}

void writeOutput(const Options& options, const ImageBuffer& flash) {
    const auto bytes = flash.bytes().first(static_cast<std::size_t>(options.chip->flashSize));
    const std::string content =
        options.format == ImageFormat::IntelHex
            ? toIntelHex(bytes, kFlashBase)
            : std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    checkOutcome(options, replaceFile(options.file, content, outputOptions(options)));
}

std::string chipName(const Options& options) {
    return std::string(options.chip->name);
}

// Writes and (unless told not to) verifies; returns what was done, for the summary.
std::string writeImage(const Options& options, const ImageBuffer& image, Session& session) {
    download(image, session);
    if (!options.verify)
        return "Written, not verified.";
    const auto flash = readBack(session, "Verifying", "the chip was written but not verified");
    compare(image, *flash, *options.chip);
    return "Written and verified: " + std::to_string(options.chip->flashSize) + " bytes.";
}

void runWrite(const Options& options, Session& session) {
    ConsoleHost& host = session.host;
    const Image image = loadImage(options);
    host.say("Image " + quoted(options.file) + ": " + image.description + ", for the " +
             chipName(options));
    host.say(writeImage(options, *image.bytes, session));
}

// The port paths of the usable probes on the bus, in bus order: clones may share a serial,
// a path names one probe.
std::vector<std::string> usableProbes(const Options& options, const ProgrammerFactory& factory) {
    const auto programmer = factory();
    const SessionOptions wishes = sessionOptions(options);
    if (!programmer->open(wishes)) {
        TransferFailure failure;
        failure.loaderReason = programmer->openFailure();
        failure.refusal = programmer->refusedOption();
        throw Failure{kNoProgrammer, openFailureText(failure)};
    }
    ResultCode code = 0;
    std::string text;
    try {
        if (programmer->offers(Operation::Report))
            text = programmer->report("list", code);
    } catch (const ProgrammerStopped& stop) {
        programmer->close();
        throw Failure{kInternalError, stoppedText(stop)};
    }
    const bool listed = programmer->offers(Operation::Report) && code == 0;
    programmer->close();
    if (!listed)
        throw Failure{kNoProgrammer, "--all: this programmer library cannot list its probes"};
    std::vector<std::string> paths;
    for (const ListedProbe& probe : parseProbeList(text))
        if (probe.usable)
            paths.push_back(probe.path);
    if (paths.empty())
        throw Failure{kNoProgrammer,
                      "--all: no usable programmer on the USB bus (see kwflash list)"};
    return paths;
}

// `write IMAGE --all`. Each probe is programmed through a programmer of its own, which the
// command line's factory makes a helper process: the library keeps one session per process,
// so one process per probe keeps its state as simple as with a single probe, lets the probes
// work in parallel, and a library that crashes on one probe leaves the others' transfers
// running. One result line per probe, in bus order, once all are done.
int runWriteAll(const Options& options, const ProgrammerFactory& factory, std::FILE* out,
                std::FILE* err) {
    struct Outcome {
        int exitCode = kDone;
        std::string text;
    };
    std::vector<std::string> paths;
    Image image;
    try {
        image = loadImage(options);
        paths = usableProbes(options, factory);
    } catch (const Failure& failure) {
        std::fprintf(err, "kwflash: %s\n", escapedForTerminal(failure.message).c_str());
        return failure.exitCode;
    }
    if (!options.quiet)
        std::fprintf(out, "Image %s: %s, for the %s, on %zu programmers\n",
                     escapedForTerminal(quoted(options.file)).c_str(), image.description.c_str(),
                     chipName(options).c_str(), paths.size());
    std::fflush(out);
    std::vector<Outcome> outcomes(paths.size());
    {
        std::vector<std::jthread> workers;
        for (std::size_t i = 0; i < paths.size(); ++i)
            workers.emplace_back([&, i] {
                Options one = options;
                one.all = false;
                one.probe = paths[i];
                // Progress bars of parallel transfers would overwrite each other.
                ConsoleHost host(out, styleFor(out, true));
                Session session{factory, sessionOptions(one), host};
                try {
                    outcomes[i].text = writeImage(one, *image.bytes, session);
                } catch (const Failure& failure) {
                    outcomes[i] = {failure.exitCode, failure.message};
                } catch (const std::exception& e) {
                    outcomes[i] = {kInternalError, std::string("internal error: ") + e.what()};
                }
            });
    }
    int exitCode = kDone;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const Outcome& outcome = outcomes[i];
        exitCode = std::max(exitCode, outcome.exitCode);
        if (outcome.exitCode == kDone) {
            if (!options.quiet)
                std::fprintf(out, "%s: %s\n", paths[i].c_str(), outcome.text.c_str());
        } else {
            std::fprintf(err, "kwflash: %s: %s\n", paths[i].c_str(),
                         escapedForTerminal(outcome.text).c_str());
        }
    }
    std::fflush(out);
    if (exitCode == kDone && interruption() != 0) {
        std::fprintf(err, "kwflash: interrupted after the command ended\n");
        return kInterruptedBase + interruption();
    }
    return exitCode;
}

void runRead(const Options& options, Session& session) {
    ConsoleHost& host = session.host;
    // A read that cannot be saved should not touch the probe at all.
    checkOutcome(options, checkReplaceable(options.file, outputOptions(options)));
    const auto flash = readBack(session, "Reading", "nothing was saved");
    writeOutput(options, *flash);
    host.say("Read " + std::to_string(options.chip->flashSize) + " bytes of the " +
             chipName(options) + " into " + quoted(options.file) + ".");
}

void runVerify(const Options& options, Session& session) {
    ConsoleHost& host = session.host;
    const Image image = loadImage(options);
    const auto flash = readBack(session, "Verifying", "nothing was verified");
    compare(*image.bytes, *flash, *options.chip);
    host.say("The " + chipName(options) + " matches " + quoted(options.file) + ": " +
             std::to_string(options.chip->flashSize) + " bytes.");
}

} // namespace

int runCommand(const Options& options, const ProgrammerFactory& programmer, std::FILE* out,
               std::FILE* err) {
    if (options.command == Command::Version) {
        std::fputs("kwflash " KW_VERSION "\n", out);
        return kDone;
    }
    if (options.command == Command::Chips) {
        for (const Chip* chip : kChips)
            std::fprintf(out, "%.*s\n", static_cast<int>(chip->name.size()), chip->name.data());
        return kDone;
    }
    if (options.command == Command::Probe)
        return runProbe(*programmer(), sessionOptions(options), out, err);
    if (options.command == Command::List)
        return runList(*programmer(), sessionOptions(options), out, err);
    if (options.command == Command::Write && options.all)
        return runWriteAll(options, programmer, out, err);
    ConsoleHost host(out, styleFor(out, options.quiet));
    Session session{programmer, sessionOptions(options), host};
    try {
        switch (options.command) {
        case Command::Write:
            runWrite(options, session);
            break;
        case Command::Read:
            runRead(options, session);
            break;
        case Command::Verify:
            runVerify(options, session);
            break;
        case Command::Probe:
        case Command::List:
        case Command::Help:
        case Command::Version:
        case Command::Chips:
            std::fputs(helpText(), out);
            break;
        }
        // A signal after the last block changed nothing, but a script must still stop.
        if (interruption() != 0)
            throw Failure{kInterruptedBase + interruption(), "interrupted after the command ended"};
        return kDone;
    } catch (const Failure& failure) {
        host.endLine();
        std::fprintf(err, "kwflash: %s\n", escapedForTerminal(failure.message).c_str());
        return failure.exitCode;
    }
}

int runCommandLine(int argc, const char* const* argv) {
    const std::span<const char* const> arguments(argv + (argc > 0 ? 1 : 0),
                                                 static_cast<std::size_t>(std::max(argc - 1, 0)));
    Options options;
    try {
        options = parseArguments(arguments);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kwflash: %s\n%s\n", escapedForTerminal(e.what()).c_str(),
                     usageLine());
        return kWrongUsage;
    }
    if (options.command == Command::Help) {
        std::fputs(helpText(), stdout);
        return kDone;
    }
    catchInterrupts();
    // The library in a process of its own: one that crashes, exits or hangs ends only that
    // process, and kwflash reports it.
    HelperSettings helper = helperBesideExecutable();
    if (options.library)
        helper.libraryFile = *options.library; // the helper starts in this same folder
    const ProgrammerFactory programmer = [helper] {
        return std::make_unique<ProcessProgrammer>(helper);
    };
    return runCommand(options, programmer, stdout, stderr);
}

} // namespace kw::cli
