#include "kwflash/Production.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "image/Crc32.h"
#include "kwflash/ChipCommands.h"
#include "kwflash/ChipImage.h"
#include "kwflash/CommandParts.h"
#include "kwflash/Commands.h"
#include "kwflash/Interrupts.h"
#include "kwflash/ResultLog.h"
#include "kwflash/SerialNumbers.h"
#include "kwflash/Wording.h"
#include "programmer/Pause.h"

namespace kw::cli {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting loop asks the library whether a chip is on the probe: quick enough
// that a technician never waits for it, rare enough to leave the USB bus alone.
constexpr int kPollMs = 150;
constexpr int kSleepStepMs = 10; // Ctrl+C is noticed within this

const char* const kNoChipTopic =
    "--loop: this programmer library cannot tell whether a chip is on the probe (it has no "
    "\"chip\" report in GetProgrammerReport)";

// For tests only: KWFLASH_TEST_KILL_AT=verified kills kwflash with SIGKILL once a board has
// verified and before its serial number is recorded as used, as a power loss would at the
// worst moment. Nobody sets a variable of this name by accident.
bool killedForTest(const char* point) {
    const char* at = std::getenv("KWFLASH_TEST_KILL_AT");
    if (at != nullptr && std::strcmp(at, point) == 0)
        std::raise(SIGKILL);
    return false;
}

std::string secondsText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", value);
    return text;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

struct Totals {
    int passed = 0;
    int failed = 0;
    double seconds = 0; // programming and verifying, not waiting
    int exitCode = kDone;

    void add(const Totals& other) {
        passed += other.passed;
        failed += other.failed;
        seconds += other.seconds;
        exitCode = std::max(exitCode, other.exitCode);
    }
    std::string text() const {
        const int boards = passed + failed;
        std::string line =
            std::to_string(passed) + " passed, " + std::to_string(failed) + " failed";
        if (boards > 0)
            line += ", " + secondsText(seconds / boards) + " per board";
        return line;
    }
};

// What every probe's loop shares.
struct Run {
    Run(const Options& o, const ProgrammerFactory& f, std::FILE* to, std::FILE* errors)
        : options(o), factory(f), out(to), err(errors) {}
    const Options& options;
    const ProgrammerFactory& factory;
    std::FILE* out;
    std::FILE* err;
    ChipImage image;
    std::vector<std::pair<std::string, std::uint32_t>> crcs;
    std::unique_ptr<SerialState> serials;
    std::unique_ptr<ResultLog> log;
    bool bell = false;
    // A fault every loop must stop for: the state file or the log cannot be written.
    std::atomic<bool> halted{false};
    std::mutex lines; // whole lines from parallel loops

    // `text` as a line of its own on the progress output (standard error with --json).
    void say(const std::string& text) {
        if (options.quiet)
            return;
        print(options.json ? err : out, escapedForTerminal(text) + "\n");
    }
    void fail(const std::string& text) {
        print(err, "kwflash: " + escapedForTerminal(text) + "\n");
    }
    void print(std::FILE* to, const std::string& text) {
        const std::lock_guard lock(lines);
        std::fputs(text.c_str(), to);
        std::fflush(to);
    }
};

// Sleeps `milliseconds` unless a signal comes first; false when one came.
bool sleepUnlessInterrupted(int milliseconds) {
    for (int slept = 0; slept < milliseconds; slept += kSleepStepMs) {
        if (interruption() != 0)
            return false;
        preciseSleep(kSleepStepMs);
    }
    return interruption() == 0;
}

// Asks the probe's library, in one session, until a chip is there (`present`) or gone.
// false when the run is to end first (Ctrl+C, another loop's fault). Throws Failure.
bool waitForChip(Run& run, const Options& one, const std::string& prefix, bool present) {
    const auto programmer = run.factory();
    struct Closer {
        Programmer& programmer;
        ~Closer() { programmer.close(); }
    } closer{*programmer};
    if (!programmer->open(sessionOptions(one))) {
        TransferFailure failure;
        failure.loaderReason = programmer->openFailure();
        failure.refusal = programmer->refusedOption();
        throw Failure{kNoProgrammer, openFailureText(failure)};
    }
    if (!programmer->offers(Operation::Report))
        throw Failure{kNoProgrammer, kNoChipTopic};
    bool toldNoProbe = false;
    while (interruption() == 0 && !run.halted) {
        ResultCode code = 0;
        std::string text;
        try {
            text = programmer->report("chip", code);
        } catch (const ProgrammerStopped& stop) {
            throw Failure{kInternalError, stoppedText(stop)};
        }
        if (code == 2 && text.empty())
            throw Failure{kNoProgrammer, kNoChipTopic};
        if ((code == 0) == present)
            return true;
        if (code == kProgrammerNotFound && !toldNoProbe) {
            run.say(prefix + "waiting for the programmer: " + firstLine(text));
            toldNoProbe = true;
        }
        if (!sleepUnlessInterrupted(kPollMs))
            break;
    }
    return false;
}

// One probe's boards, one after the other.
Totals runBoards(Run& run, const Options& one, const ListedProbe& probe,
                 const std::string& prefix) {
    const Options& options = run.options;
    // Parallel bars would overwrite each other, and --json replaces the progress.
    ConsoleHost host(run.out, options.json || options.all || options.quiet
                                  ? ProgressStyle::Quiet
                                  : styleFor(run.out, false));
    Session session{run.factory, sessionOptions(one), host};
    Totals totals;
    for (int boardNumber = 1; !run.halted; ++boardNumber) {
        try {
            if (options.loop && !waitForChip(run, one, prefix, true))
                break;
        } catch (const Failure& failure) {
            run.fail(prefix + failure.message);
            totals.exitCode = std::max(totals.exitCode, failure.exitCode);
            break;
        }
        const auto start = Clock::now();
        BoardRecord record;
        record.time = utcNow();
        record.probeSerial = probe.serial;
        record.probePort = probe.path;
        record.chip = std::string(options.chip->name);
        record.crc32 = run.crcs;

        ChipImage board = run.image;
        if (run.serials) {
            try {
                SerialState::Taken taken = run.serials->take();
                record.serial = taken.number;
                record.skippedSerials = taken.skipped;
            } catch (const SerialStateError& e) {
                run.fail(prefix + e.what());
                totals.exitCode = std::max(totals.exitCode, static_cast<int>(kBadImageFile));
                run.halted = true;
                break;
            }
            for (const std::uint64_t skipped : record.skippedSerials)
                run.say(prefix + "serial number " + std::to_string(skipped) +
                        " was taken by a kwflash that ended before recording its board: "
                        "skipped, never given again");
            const auto bytes = encodeSerial(*record.serial, options.serial->format);
            HexArea& area =
                board.flash.contains(options.serial->address) ? board.flash : board.eeprom;
            for (std::size_t i = 0; i < bytes->size(); ++i)
                area.set(options.serial->address + static_cast<std::uint32_t>(i), (*bytes)[i]);
        }

        try {
            writeChip(one, board, session);
            record.passed = true;
        } catch (const Failure& failure) {
            host.endLine();
            record.code = failure.exitCode;
            record.message = failure.message;
            record.libraryCode = failure.libraryCode;
            record.libraryText = failure.libraryText;
        }
        if (record.serial) {
            if (record.passed)
                killedForTest("verified");
            try {
                if (record.passed)
                    run.serials->done(*record.serial);
                else
                    run.serials->giveBack(*record.serial);
            } catch (const SerialStateError& e) {
                // The number stays recorded in use, so it is skipped later: never given twice.
                run.fail(prefix + e.what());
                totals.exitCode = std::max(totals.exitCode, static_cast<int>(kBadImageFile));
                run.halted = true;
            }
        }
        record.seconds = std::chrono::duration<double>(Clock::now() - start).count();

        if (options.json) {
            run.print(run.out, toJsonLine(record));
        } else if (!options.quiet || !record.passed) {
            std::string line = prefix + (record.passed ? "PASS" : "FAIL") + "  board " +
                               std::to_string(boardNumber);
            if (record.serial)
                line += "  serial " + std::to_string(*record.serial);
            line += "  " + secondsText(record.seconds);
            if (!record.passed)
                line += ": " + record.message;
            run.print(run.out, escapedForTerminal(line) + (run.bell ? "\a\n" : "\n"));
        }
        if (run.log) {
            try {
                run.log->append(toJsonLine(record));
            } catch (const ResultLogError& e) {
                run.fail(prefix + e.what());
                totals.exitCode = std::max(totals.exitCode, static_cast<int>(kBadImageFile));
                run.halted = true;
            }
        }
        (record.passed ? totals.passed : totals.failed) += 1;
        totals.seconds += record.seconds;
        totals.exitCode = std::max(totals.exitCode, record.code);

        // Ctrl+C in the middle of a board ends the run there.
        if (!options.loop || record.code >= kInterruptedBase)
            break;
        try {
            if (!waitForChip(run, one, prefix, false))
                break;
            run.say(prefix + "Ready for the next board.");
        } catch (const Failure& failure) {
            run.fail(prefix + failure.message);
            totals.exitCode = std::max(totals.exitCode, failure.exitCode);
            break;
        }
    }
    return totals;
}

// The probe a single-probe run uses, as the library lists it, so the log can name it; empty
// fields when the library cannot list its probes.
ListedProbe probeInUse(const Options& options, const ProgrammerFactory& factory) {
    try {
        for (const ListedProbe& probe : usableProbes(options, factory))
            if (options.probe.empty() || probe.path == options.probe ||
                probe.serial == options.probe)
                return probe;
    } catch (const Failure&) {
        // The write itself says what is wrong with the programmer.
    }
    return {};
}

} // namespace

std::vector<std::pair<std::string, std::uint32_t>> areaCrcs(const Options& options,
                                                            const ChipImage& image) {
    const Chip& chip = *options.chip;
    std::vector<std::pair<std::string, std::uint32_t>> sums;
    const auto add = [&](const char* name, const HexArea& area, std::int32_t size) {
        if (area.count() != 0)
            sums.emplace_back(name, crc32(areaBytes(area, size)));
    };
    add("flash", image.flash, chip.flashSize);
    add("eeprom", image.eeprom, chip.eepromSize);
    add("option", image.options, chip.optionCount);
    return sums;
}

std::vector<std::string> crcLines(const Options& options, const ChipImage& image) {
    const Chip& chip = *options.chip;
    std::vector<std::string> lines;
    for (const auto& [name, sum] : areaCrcs(options, image)) {
        const bool flash = name == "flash";
        const bool eeprom = name == "eeprom";
        const std::uint32_t base = flash    ? chip.flashBase
                                   : eeprom ? chip.eepromBase
                                            : chip.optionBase;
        const std::int32_t size = flash    ? chip.flashSize
                                  : eeprom ? chip.eepromSize
                                           : chip.optionCount;
        const char* what = flash ? "flash" : eeprom ? "EEPROM" : "option-byte";
        lines.push_back("CRC-32 " + hex(sum, 8) + " of the " + what +
                        " image: " + std::to_string(size) + " bytes " +
                        addressRange(base, base + static_cast<std::uint32_t>(size) - 1) +
                        ", 0x00 where the file has no data");
    }
    return lines;
}

int runProduction(const Options& options, const ProgrammerFactory& factory, std::FILE* out,
                  std::FILE* err) {
    Run run(options, factory, out, err);
    std::vector<ListedProbe> probes;
    try {
        run.image = loadChipImage(options);
        run.crcs = areaCrcs(options, run.image);
        if (options.serial) {
            const Options::Serial& serial = *options.serial;
            const std::filesystem::path state =
                serial.state.empty() ? defaultSerialState(options.file) : serial.state;
            run.serials =
                std::make_unique<SerialState>(state, serial.start, serial.step, serial.format);
        }
        if (options.log)
            run.log = std::make_unique<ResultLog>(*options.log);
        if (options.all)
            probes = usableProbes(options, factory);
        else
            probes.push_back(probeInUse(options, factory));
    } catch (const Failure& failure) {
        std::fprintf(err, "kwflash: %s\n", escapedForTerminal(failure.message).c_str());
        return failure.exitCode;
    } catch (const std::runtime_error& e) { // the state folder or the log
        std::fprintf(err, "kwflash: %s\n", escapedForTerminal(e.what()).c_str());
        return kBadImageFile;
    }
    run.bell = !options.json && ::isatty(::fileno(out)) != 0;

    run.say("Image " + quoted(options.file) + ": " + run.image.description + ", for the " +
            std::string(options.chip->name) + ": " + contents(run.image));
    for (const std::string& line : crcLines(options, run.image))
        run.say(line);
    if (run.serials) {
        try {
            run.say("Serial numbers: " + options.serial->format.name() + " at " +
                    hex(options.serial->address, 4) + ", next " +
                    std::to_string(run.serials->peek()) + ", step " +
                    std::to_string(options.serial->step) + ", kept in " +
                    quoted(run.serials->file()));
        } catch (const SerialStateError& e) {
            run.fail(e.what());
            return kBadImageFile;
        }
    }
    if (options.loop)
        run.say("Waiting for a board on " +
                (options.all                   ? std::to_string(probes.size()) + " programmers"
                 : probes.front().path.empty() ? std::string("the programmer")
                                               : probes.front().path) +
                "; Ctrl+C ends the run and prints the totals.");

    Totals all;
    if (!options.all) {
        Options one = options;
        all = runBoards(run, one, probes.front(), "");
    } else {
        std::vector<Totals> totals(probes.size());
        {
            std::vector<std::jthread> loops;
            for (std::size_t i = 0; i < probes.size(); ++i)
                loops.emplace_back([&, i] {
                    Options one = options;
                    one.all = false;
                    one.probe = probes[i].path;
                    try {
                        totals[i] = runBoards(run, one, probes[i], probes[i].path + ": ");
                    } catch (const std::exception& e) {
                        run.fail(probes[i].path + ": internal error: " + e.what());
                        totals[i].exitCode = kInternalError;
                    }
                });
        }
        for (std::size_t i = 0; i < probes.size(); ++i) {
            if (options.loop)
                run.print(options.json ? err : out,
                          probes[i].path + ": " + totals[i].text() + "\n");
            all.add(totals[i]);
        }
    }
    if (options.loop)
        run.print(options.json ? err : out, "Totals: " + all.text() + "\n");
    // A signal after the last block changed nothing, but a script must still stop. A loop
    // ends only by a signal: its totals are its result.
    if (!options.loop && all.exitCode == kDone && interruption() != 0) {
        run.fail("interrupted after the command ended");
        return kInterruptedBase + interruption();
    }
    return all.exitCode;
}

} // namespace kw::cli
