#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "kwflash/Arguments.h"
#include "programmer/ProgrammerLibrary.h"

namespace kw::cli {

// Loads the programmer library through another loader and hands it the command line's wishes
// (--swim) through its optional SetProgrammerOption. A library without that export, or one
// that refuses the wish, does not load when the wish is not the default; lastError() says so.
// Just before a library is released it is asked which programmer and link the transfer used.
class ConfiguredLoader final : public LibraryLoader {
public:
    ConfiguredLoader(LibraryLoader& inner, std::string swim);
    std::unique_ptr<ProgrammerLibrary> load() override;
    std::string lastError() const override;
    // The library's words on the last transfer's programmer and link; empty when it has none.
    const std::string& lastSession() const noexcept { return lastSession_; }
    void noteSession(std::string text) { lastSession_ = std::move(text); }

private:
    LibraryLoader& inner_;
    std::string swim_;
    std::string refusal_;
    std::string lastSession_;
};

// `kwflash probe`: the library's report on the probes on the bus and the first usable one's
// chip, on `out`. Returns the exit code; a failure's line goes to `err`.
int runProbe(LibraryLoader& loader, std::FILE* out, std::FILE* err);

} // namespace kw::cli
