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
#include "kwflash/ChipCommands.h"
#include "kwflash/CommandParts.h"
#include "kwflash/Interrupts.h"
#include "kwflash/ProbeCommand.h"
#include "kwflash/Production.h"
#include "kwflash/Progress.h"
#include "kwflash/Wording.h"
#include "programmer/ModuleFolder.h"
#include "programmer/ProcessProgrammer.h"
#include "programmer/Transfer.h"
#include "settings/AtomicFile.h"

namespace kw::cli {

// Clones may share a serial: a port path names one probe.
std::vector<ListedProbe> usableProbes(const Options& options, const ProgrammerFactory& factory) {
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
    std::vector<ListedProbe> probes;
    for (const ListedProbe& probe : parseProbeList(text))
        if (probe.usable)
            probes.push_back(probe);
    if (probes.empty())
        throw Failure{kNoProgrammer,
                      "--all: no usable programmer on the USB bus (see kwflash list)"};
    return probes;
}

namespace {

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
    ChipImage image;
    try {
        image = loadChipImage(options);
        for (const ListedProbe& probe : usableProbes(options, factory))
            paths.push_back(probe.path);
    } catch (const Failure& failure) {
        std::fprintf(err, "kwflash: %s\n", escapedForTerminal(failure.message).c_str());
        return failure.exitCode;
    }
    if (!options.quiet)
        std::fprintf(out, "Image %s: %s, for the %s: %s, on %zu programmers\n",
                     escapedForTerminal(quoted(options.file)).c_str(), image.description.c_str(),
                     chipName(options).c_str(), contents(image).c_str(), paths.size());
    if (!options.quiet)
        for (const std::string& line : crcLines(options, image))
            std::fprintf(out, "%s\n", line.c_str());
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
                    outcomes[i].text = writeChip(one, image, session);
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

// Needs no programmer: the sums a technician compares with those the build gave.
void runCrc(const Options& options, ConsoleHost& host) {
    const ChipImage image = loadChipImage(options);
    host.say("Image " + quoted(options.file) + ": " + image.description + ", for the " +
             chipName(options) + ": " + contents(image));
    for (const std::string& line : crcLines(options, image))
        host.say(line);
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
    if (options.command == Command::Write && options.production())
        return runProduction(options, programmer, out, err);
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
        case Command::OptionBytes:
            runOptions(options, session);
            break;
        case Command::Unlock:
            runUnlock(options, session);
            break;
        case Command::Crc:
            runCrc(options, host);
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
