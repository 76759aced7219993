#include "kwflash/Wording.h"

namespace kw::cli {

SessionOptions sessionOptions(const Options& options) {
    SessionOptions session;
    if (options.swim != "auto")
        session.settings.emplace_back("swim", options.swim);
    if (!options.probe.empty())
        session.settings.emplace_back("probe", options.probe);
    // The library's texts end kwflash's lines; a library that speaks only its own keeps it.
    session.preferences.emplace_back("language", "en");
    return session;
}

std::string openFailureText(const TransferFailure& failure) {
    std::string reason = failure.loaderReason;
    if (failure.refusal) {
        const OptionRefusal& refusal = *failure.refusal;
        const std::string what = refusal.name == "swim"    ? std::string("a SWIM speed")
                                 : refusal.name == "probe" ? std::string("which probe to use")
                                                           : "a " + refusal.name;
        reason = failure.refusal->noOptionExport
                     ? std::string(kLibraryFileName) + " cannot be told " + what + " (it has no " +
                           kSetProgrammerOptionName + " export): run without --" + refusal.name
                     : std::string(kLibraryFileName) + " refuses --" + refusal.name + " " +
                           refusal.value;
    } else if (reason.empty()) {
        reason = std::string(kLibraryFileName) +
                 " is neither beside kwflash nor found by the system's library search";
    }
    return "cannot load the programmer library: " + reason;
}

std::string stoppedText(const ProgrammerStopped& stop) {
    std::string text = "the programmer library stopped: ";
    const std::string value = std::to_string(stop.value());
    switch (stop.kind()) {
    case StopKind::Signal: {
        text += "killed by signal " + value;
        const std::string name = signalName(stop.value());
        if (!name.empty())
            text += " (" + name + ")";
        break;
    }
    case StopKind::Exit:
        text += "exited with status " + value;
        break;
    case StopKind::Timeout:
        text += "did not answer within " + value + " s";
        break;
    }
    return text;
}

} // namespace kw::cli
