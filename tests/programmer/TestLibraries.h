#pragma once

// Test programmer libraries, each a TOLVANEX.dll alone in its own folder, for loading the
// real way: kw::SystemLibraryLoader(kw::testlib::recordingDir()).
//
//   RecordingSession session;            // fresh log, default behaviour (every call 0)
//   session.setResult(-1);               // or session.failCall(5, 7): sixth call returns 7
//   kw::SystemLibraryLoader loader(kw::testlib::recordingDir());
//   ... run a transfer ...
//   const auto log = session.log();      // loads, unloads, calls with offsets and bytes
//
// Link the target `kw_testlibs` to get this header, the library folders and a build of the
// libraries before the test.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "programmer/TestPattern.h"

namespace kw::testlib {

std::filesystem::path recordingDir();    // SetFlashData and GetFlashData
std::filesystem::path noSetDir();        // GetFlashData only
std::filesystem::path noGetDir();        // SetFlashData only
std::filesystem::path emptyDir();        // no library at all
std::filesystem::path brokenDir();       // a TOLVANEX.dll that is not a shared object
std::filesystem::path errorTextDir();    // recording, with GetErrorText
std::filesystem::path noDependencyDir(); // recording, needing a library nobody can find
std::filesystem::path sessionDir();      // recording, with SetProgrammerOption and EndTransfer
std::filesystem::path chipDir();         // recording, with the six whole-chip exports
std::filesystem::path eepromDir();       // recording, with SetEepromData and GetEepromData only
// At the fourth call of an export (KW_TESTLIB_STOP_AT: another index), SetOptionByte
// included, the library...
std::filesystem::path segfaultDir(); // ...writes to an unmapped address
std::filesystem::path exit3Dir();    // ...calls exit(3)
std::filesystem::path hangDir();     // ...sleeps 60 s

struct Call {
    std::string exportName; // the export's name
    // The offset, SetOptionByte's index, GetOptionBytes' size; 0 for the calls without.
    std::int32_t offset = 0;
    // The bytes SetFlashData, SetEepromData received, SetOptionByte's value; else empty.
    std::vector<std::uint8_t> data;
};

struct Log {
    std::vector<std::string> lines; // as written, "load", "unload" and "text <code>" included
    int loads = 0;
    int unloads = 0;
    std::vector<Call> calls;
};

// Sets the test library's environment for its lifetime and restores it afterwards. One at
// a time; the libraries read it at every call, so settings may change between transfers.
class RecordingSession {
public:
    RecordingSession();
    ~RecordingSession();
    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    void setResult(std::int32_t code);               // result of every call
    void failCall(int callIndex, std::int32_t code); // one call, counted per export per load
    void setDelayMs(int milliseconds);               // time each call takes
    // The call with that index sends `signal` to its process group `times` times, then
    // returns: run the caller in a group of its own (setpgid), as a shell runs a job.
    void signalDuringCall(int callIndex, int signal, int times = 1);
    // The call with that index ends the process with exit(status).
    void exitDuringCall(int callIndex, int status);
    void setErrorText(const std::string& text); // GetErrorText's text (errortext variant)
    void setPauses(int value);                  // NeedsBlockPauses' result (chip variant)

    const std::filesystem::path& logPath() const { return logPath_; }
    Log log() const;
    void clearLog() const;

private:
    std::filesystem::path logPath_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

} // namespace kw::testlib
