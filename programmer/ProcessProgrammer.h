#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include <sys/types.h>

#include "programmer/Programmer.h"

namespace kw {

// Where the helper finds the library and how long it may take. The same search as in
// process: `libraryFolder` first, then the system's search by the bare name; or exactly
// `libraryFile` when that is set.
struct HelperSettings {
    std::filesystem::path helper;        // the kaliwire-programmer executable
    std::filesystem::path libraryFolder; // usually the folder of the executable that starts it
    std::filesystem::path libraryFile;
    std::chrono::milliseconds callLimit{5000};
    // A report looks at every probe and reads a chip: slower than any block.
    std::chrono::milliseconds reportLimit{30000};
};

// Seconds a call may take before the helper is given up, when set (1 to 3600).
inline constexpr const char* kTimeoutVariable = "KALIWIRE_PROGRAMMER_TIMEOUT";

// kaliwire-programmer beside the executable this code runs in, searching for the library
// beside it too (or taking exactly `libraryFile`, when not empty); the call limit from
// KALIWIRE_PROGRAMMER_TIMEOUT.
HelperSettings helperBesideExecutable(const std::filesystem::path& libraryFile = {});

// The library in a helper process (kaliwire-programmer) started at open() and ended at
// close(), so that a library that crashes, exits or hangs takes only the helper with it: the
// call then throws ProgrammerStopped, the helper is killed and reaped, and the next open()
// starts a fresh one. The protocol is in programmer/HelperProtocol.h. POSIX only.
class ProcessProgrammer final : public Programmer {
public:
    explicit ProcessProgrammer(HelperSettings settings);
    ~ProcessProgrammer() override;
    ProcessProgrammer(const ProcessProgrammer&) = delete;
    ProcessProgrammer& operator=(const ProcessProgrammer&) = delete;

    bool open(const SessionOptions& options) override;
    std::string openFailure() const override { return openFailure_; }
    std::optional<OptionRefusal> refusedOption() const override { return refusal_; }
    bool offers(Operation operation) const override;

    // Outside a session, as in process: block and whole-chip calls return kProgrammerNotFound,
    // errorText() nothing, report() code 2, needsBlockPauses() true. Each call but report()
    // has callLimit, an option-byte write or an unprotect (a mass erase) included.
    ResultCode writeBlock(std::int32_t offset,
                          std::span<const std::uint8_t, kSetFlashDataBlockSize> block) override;
    ResultCode readBlock(std::int32_t offset,
                         std::span<std::uint8_t, kGetFlashDataBlockSize> block) override;
    std::string errorText(ResultCode code) override;
    std::string report(const std::string& topic, ResultCode& code) override;
    ResultCode writeEepromBlock(std::int32_t offset,
                                std::span<const std::uint8_t, kEepromBlockSize> block) override;
    ResultCode readEepromBlock(std::int32_t offset,
                               std::span<std::uint8_t, kEepromBlockSize> block) override;
    ResultCode readOptionBytes(std::span<std::uint8_t, kOptionByteCount> bytes) override;
    ResultCode writeOptionByte(std::int32_t index, std::uint8_t value) override;
    ResultCode removeReadoutProtection() override;
    bool needsBlockPauses() override;
    // Never throws: a helper that does not end cleanly is killed and reaped.
    void close() override;

    // The running helper's process id, -1 between sessions.
    pid_t helperPid() const { return pid_; }

private:
    bool start();
    // One request and its reply body; throws ProgrammerStopped when the helper went away.
    std::string call(const std::string& frame, std::chrono::milliseconds limit);
    // A call whose reply is a code alone; kProgrammerNotFound outside a session.
    ResultCode codeCall(const std::string& frame);
    [[noreturn]] void stopped(bool timedOut, std::chrono::milliseconds limit);
    void endHelper(std::chrono::milliseconds grace);
    // Throws the stop while a stopped session is not closed yet.
    bool inSession() const;

    HelperSettings settings_;
    pid_t pid_ = -1;
    int socket_ = -1;
    unsigned offers_ = 0;
    std::string openFailure_;
    std::optional<OptionRefusal> refusal_;
    std::optional<ProgrammerStopped> stop_; // the session's helper went away
};

} // namespace kw
