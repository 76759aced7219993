#include "kwflash/ProbeCommand.h"

#include <algorithm>
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
    const std::string text = programmer.report("probes", code);
    // Line by line, each made safe for a terminal like every other text of the library.
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::fprintf(out, "%s\n", escapedForTerminal(text.substr(start, end - start)).c_str());
        start = end + 1;
    }
    std::fflush(out);
    if (code == 0)
        return kDone;
    const std::string why = programmer.errorText(code);
    return fail(err, code == kProgrammerNotFound ? kNoProgrammer : kProgrammerFailed,
                "probe: the programmer reports code " + std::to_string(code) +
                    (why.empty() ? "" : ": " + why));
}

} // namespace

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
