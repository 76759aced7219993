#include "kwflash/ProbeCommand.h"

#include <algorithm>
#include <sstream>
#include <string>

#include "kwflash/Commands.h"
#include "kwflash/Progress.h"
#include "kwflash/Wording.h"

namespace kw::cli {

namespace {

int fail(std::FILE* err, int exitCode, const std::string& message) {
    std::fprintf(err, "kwflash: %s\n", escapedForTerminal(message).c_str());
    return exitCode;
}

// Line by line, each made safe for a terminal like every other text of the library.
void printLines(std::FILE* out, const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::fprintf(out, "%s\n", escapedForTerminal(text.substr(start, end - start)).c_str());
        start = end + 1;
    }
    std::fflush(out);
}

int probe(Programmer& programmer, const SessionOptions& options, std::FILE* out, std::FILE* err) {
    if (!programmer.open(options)) {
        TransferFailure failure;
        failure.loaderReason = programmer.openFailure();
        failure.refusal = programmer.refusedOption();
        return fail(err, kNoProgrammer, openFailureText(failure));
    }
    if (!programmer.offers(Operation::Report))
        return fail(err, kNoProgrammer, "this programmer library cannot describe its probes");
    ResultCode code = 0;
    printLines(out, programmer.report("probes", code));
    if (code == 0)
        return kDone;
    const std::string why = programmer.errorText(code);
    return fail(err, code == kProgrammerNotFound ? kNoProgrammer : kProgrammerFailed,
                "probe: the programmer reports code " + std::to_string(code) +
                    (why.empty() ? "" : ": " + why));
}

int list(Programmer& programmer, const SessionOptions& options, std::FILE* out, std::FILE* err) {
    if (!programmer.open(options)) {
        TransferFailure failure;
        failure.loaderReason = programmer.openFailure();
        failure.refusal = programmer.refusedOption();
        return fail(err, kNoProgrammer, openFailureText(failure));
    }
    ResultCode code = 0;
    const std::string text =
        programmer.offers(Operation::Report) ? programmer.report("list", code) : std::string();
    if (!programmer.offers(Operation::Report) || code != 0)
        return fail(err, kNoProgrammer, "this programmer library cannot list its probes");
    if (parseProbeList(text).empty())
        return fail(err, kNoProgrammer, "no programmer on the USB bus");
    printLines(out, text);
    return kDone;
}

} // namespace

std::vector<ListedProbe> parseProbeList(const std::string& text) {
    std::vector<ListedProbe> probes;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream tokens(line);
        ListedProbe probe;
        if (!(tokens >> probe.path) || probe.path.find('=') != std::string::npos)
            continue;
        std::string token;
        while (tokens >> token) {
            if (token.starts_with("serial="))
                probe.serial = token.substr(7);
            else if (token == "usable=yes")
                probe.usable = true;
        }
        probes.push_back(probe);
    }
    return probes;
}

int runList(Programmer& programmer, const SessionOptions& options, std::FILE* out, std::FILE* err) {
    int exitCode = kInternalError;
    try {
        exitCode = list(programmer, options, out, err);
    } catch (const ProgrammerStopped& stop) {
        exitCode = fail(err, kInternalError, stoppedText(stop));
    }
    programmer.close();
    return exitCode;
}

int runProbe(Programmer& programmer, const SessionOptions& options, std::FILE* out,
             std::FILE* err) {
    int exitCode = kInternalError;
    try {
        exitCode = probe(programmer, options, out, err);
    } catch (const ProgrammerStopped& stop) {
        exitCode = fail(err, kInternalError, stoppedText(stop));
    }
    programmer.close();
    return exitCode;
}

} // namespace kw::cli
