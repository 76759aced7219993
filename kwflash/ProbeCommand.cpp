#include "kwflash/ProbeCommand.h"

#include <algorithm>
#include <array>
#include <vector>

#include "kwflash/Commands.h"

namespace kw::cli {

namespace {

// The library as loaded, asked for its session's description when released.
class ConfiguredLibrary final : public ProgrammerLibrary {
public:
    ConfiguredLibrary(std::unique_ptr<ProgrammerLibrary> library, ConfiguredLoader& owner)
        : library_(std::move(library)), owner_(owner) {}
    ~ConfiguredLibrary() override {
        const auto report = library_->lookup<ProgrammerReportFunction>(kGetProgrammerReportName);
        if (report == nullptr)
            return;
        std::array<char, 512> buffer{};
        int length = 0;
        report("session", buffer.data(), static_cast<int>(buffer.size()), &length);
        buffer.back() = '\0';
        owner_.noteSession(buffer.data());
    }
    ConfiguredLibrary(const ConfiguredLibrary&) = delete;
    ConfiguredLibrary& operator=(const ConfiguredLibrary&) = delete;

protected:
    AnyFunction exportAddress(const char* exportName) override {
        return library_->lookup<AnyFunction>(exportName);
    }

private:
    std::unique_ptr<ProgrammerLibrary> library_;
    ConfiguredLoader& owner_;
};

// The library's own text for a code, when it has one.
std::string errorText(ProgrammerLibrary& library, int code) {
    const auto getErrorText = library.lookup<ErrorTextFunction>(kGetErrorTextName);
    if (getErrorText == nullptr)
        return {};
    std::array<char, 512> buffer{};
    if (getErrorText(code, buffer.data(), static_cast<int>(buffer.size())) <= 0)
        return {};
    buffer.back() = '\0';
    return buffer.data();
}

} // namespace

ConfiguredLoader::ConfiguredLoader(LibraryLoader& inner, std::string swim)
    : inner_(inner), swim_(std::move(swim)) {}

std::unique_ptr<ProgrammerLibrary> ConfiguredLoader::load() {
    refusal_.clear();
    lastSession_.clear();
    std::unique_ptr<ProgrammerLibrary> library = inner_.load();
    if (!library)
        return nullptr;
    const auto setOption = library->lookup<ProgrammerOptionFunction>(kSetProgrammerOptionName);
    const bool wished = swim_ != "auto";
    if (setOption == nullptr && wished) {
        refusal_ = std::string(kLibraryFileName) + " cannot be told a SWIM speed (it has no " +
                   kSetProgrammerOptionName + " export): run without --swim";
        return nullptr;
    }
    if (setOption != nullptr && setOption("swim", swim_.c_str()) != 0 && wished) {
        refusal_ = std::string(kLibraryFileName) + " refuses --swim " + swim_;
        return nullptr;
    }
    return std::make_unique<ConfiguredLibrary>(std::move(library), *this);
}

std::string ConfiguredLoader::lastError() const {
    return refusal_.empty() ? inner_.lastError() : refusal_;
}

int runProbe(LibraryLoader& loader, std::FILE* out, std::FILE* err) {
    const std::unique_ptr<ProgrammerLibrary> library = loader.load();
    if (!library) {
        const std::string reason = loader.lastError();
        std::fprintf(err, "kwflash: cannot load the programmer library: %s\n",
                     reason.empty() ? "TOLVANEX.dll is neither beside kwflash nor found by the "
                                      "system's library search"
                                    : reason.c_str());
        return kNoProgrammer;
    }
    const auto report = library->lookup<ProgrammerReportFunction>(kGetProgrammerReportName);
    if (report == nullptr) {
        std::fprintf(err, "kwflash: this programmer library cannot describe its probes\n");
        return kNoProgrammer;
    }
    // Large enough for any bus: asking again would probe the chip again.
    std::vector<char> buffer(64 * 1024, '\0');
    int length = 0;
    const int code = report("probes", buffer.data(), static_cast<int>(buffer.size()), &length);
    buffer.back() = '\0';
    std::string text(buffer.data());
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    std::fputs(text.c_str(), out);
    std::fflush(out);
    if (code == 0)
        return kDone;
    const std::string why = errorText(*library, code);
    std::fprintf(err, "kwflash: probe: the programmer reports code %d%s%s\n", code,
                 why.empty() ? "" : ": ", why.c_str());
    return code == kProgrammerNotFound ? kNoProgrammer : kProgrammerFailed;
}

} // namespace kw::cli
