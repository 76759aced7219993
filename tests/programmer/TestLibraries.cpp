#include "programmer/TestLibraries.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

namespace kw::testlib {

namespace {

constexpr const char* kVariables[] = {"KW_TESTLIB_LOG",      "KW_TESTLIB_RESULT", "KW_TESTLIB_FAIL",
                                      "KW_TESTLIB_DELAY_MS", "KW_TESTLIB_SIGNAL", "KW_TESTLIB_EXIT",
                                      "KW_TESTLIB_TEXT",     "KW_TESTLIB_PAUSES"};

std::filesystem::path libDir(const char* name) {
    return std::filesystem::path(KW_TESTLIB_ROOT) / name;
}

std::vector<std::uint8_t> fromHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

} // namespace

std::filesystem::path recordingDir() {
    return libDir("recording");
}
std::filesystem::path noSetDir() {
    return libDir("noset");
}
std::filesystem::path noGetDir() {
    return libDir("noget");
}
std::filesystem::path emptyDir() {
    return libDir("empty");
}
std::filesystem::path brokenDir() {
    return libDir("broken");
}
std::filesystem::path errorTextDir() {
    return libDir("errortext");
}
std::filesystem::path sessionDir() {
    return libDir("session");
}
std::filesystem::path chipDir() {
    return libDir("chip");
}
std::filesystem::path eepromDir() {
    return libDir("eeprom");
}
std::filesystem::path noDependencyDir() {
    return libDir("nodependency");
}
std::filesystem::path segfaultDir() {
    return libDir("segfault");
}
std::filesystem::path exit3Dir() {
    return libDir("exit3");
}
std::filesystem::path hangDir() {
    return libDir("hang");
}

RecordingSession::RecordingSession() {
    for (const char* name : kVariables) {
        const char* value = std::getenv(name);
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        ::unsetenv(name);
    }
    static int counter = 0;
    logPath_ =
        std::filesystem::temp_directory_path() /
        ("kw-testlib-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".log");
    std::filesystem::remove(logPath_);
    ::setenv("KW_TESTLIB_LOG", logPath_.c_str(), 1);
}

RecordingSession::~RecordingSession() {
    for (const auto& [name, value] : saved_) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    std::error_code ec;
    std::filesystem::remove(logPath_, ec);
}

void RecordingSession::setResult(std::int32_t code) {
    ::setenv("KW_TESTLIB_RESULT", std::to_string(code).c_str(), 1);
}

void RecordingSession::failCall(int callIndex, std::int32_t code) {
    ::setenv("KW_TESTLIB_FAIL", (std::to_string(callIndex) + ":" + std::to_string(code)).c_str(),
             1);
}

void RecordingSession::signalDuringCall(int callIndex, int signal, int times) {
    ::setenv(
        "KW_TESTLIB_SIGNAL",
        (std::to_string(callIndex) + ":" + std::to_string(signal) + ":" + std::to_string(times))
            .c_str(),
        1);
}

void RecordingSession::exitDuringCall(int callIndex, int status) {
    ::setenv("KW_TESTLIB_EXIT", (std::to_string(callIndex) + ":" + std::to_string(status)).c_str(),
             1);
}

void RecordingSession::setErrorText(const std::string& text) {
    ::setenv("KW_TESTLIB_TEXT", text.c_str(), 1);
}

void RecordingSession::setPauses(int value) {
    ::setenv("KW_TESTLIB_PAUSES", std::to_string(value).c_str(), 1);
}

void RecordingSession::setDelayMs(int milliseconds) {
    ::setenv("KW_TESTLIB_DELAY_MS", std::to_string(milliseconds).c_str(), 1);
}

void RecordingSession::clearLog() const {
    std::error_code ec;
    std::filesystem::remove(logPath_, ec);
}

Log RecordingSession::log() const {
    static const std::map<std::string, std::string> exportNames{
        {"set", "SetFlashData"},
        {"get", "GetFlashData"},
        {"eeprom-set", "SetEepromData"},
        {"eeprom-get", "GetEepromData"},
        {"options-get", "GetOptionBytes"},
        {"option-set", "SetOptionByte"},
        {"unprotect", "RemoveReadoutProtection"},
        {"pauses", "NeedsBlockPauses"},
    };
    Log log;
    std::ifstream in(logPath_);
    std::string line;
    while (std::getline(in, line)) {
        log.lines.push_back(line);
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "load") {
            ++log.loads;
        } else if (kind == "unload") {
            ++log.unloads;
        } else if (const auto name = exportNames.find(kind); name != exportNames.end()) {
            Call call;
            call.exportName = name->second;
            std::string hex;
            words >> call.offset >> hex;
            call.data = fromHex(hex);
            log.calls.push_back(std::move(call));
        }
    }
    return log;
}

} // namespace kw::testlib
