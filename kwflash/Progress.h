#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "programmer/Transfer.h"

namespace kw::cli {

// How progress is shown: a bar redrawn in place on a terminal, a few plain lines for a pipe or
// a file, nothing at all when asked to be quiet.
enum class ProgressStyle { Bar, Lines, Quiet };

// The transfers' host for a command line. It shows the progress of each transfer under the
// label given by begin(); the command words its errors from the transfer's result, so the
// failure events show nothing. Pauses really sleep.
class ConsoleHost final : public TransferHost {
public:
    ConsoleHost(std::FILE* out, ProgressStyle style);

    // Names the transfer that comes next ("Writing", "Reading").
    void begin(const char* label);
    // Ends a bar left on its line, so that what follows starts on a line of its own.
    void endLine();
    // A line of its own on the progress output, unless quiet.
    void say(const std::string& text);
    // The library's words on the last transfer's programmer and link; empty when it has none.
    const std::string& lastSession() const noexcept { return lastSession_; }
    // Whether `session` is news: true once for each text in a row, so that a command of
    // several transfers over one link names it once.
    bool newSession(const std::string& session) {
        const bool news = session != saidSession_;
        saidSession_ = session;
        return news;
    }

    void libraryMissing(TransferKind, const std::string&) override {}
    void optionRefused(TransferKind, const OptionRefusal&, const std::string&) override {}
    // A later part of a whole-chip transfer starts a line of its own, named by its area.
    void started(TransferKind kind) override;
    void exportMissing(TransferKind, const char*) override {}
    void blockDone(TransferKind, int block) override;
    void blockFailed(TransferKind, int, ResultCode, const std::string&) override {}
    void stopped(TransferKind, const ProgrammerStopped&) override {}
    void finished(TransferKind) override {}
    // Asks the library which programmer and link the transfer used.
    void sessionEnding(TransferKind, Programmer& programmer) override;

    void setProgressMaximum(int maximum) override;
    void processEvents() override {}
    void pause(int milliseconds) override;
    // A library that paces itself is not kept waiting.
    bool skipsNeedlessPauses() const override { return true; }
    // After Ctrl+C or SIGTERM, at the next block.
    bool cancelled() override;

private:
    void draw(int done);

    std::FILE* out_;
    ProgressStyle style_;
    std::string label_;
    int blocks_ = 0;
    int lastDrawn_ = -1;   // blocks done when the bar was drawn last
    int lastQuarter_ = -1; // quarters done when a plain line was written last
    bool onBarLine_ = false;
    std::optional<TransferKind> part_; // the part started last since begin()
    std::string lastSession_;
    std::string saidSession_;
};

// The style for progress written to `out`: a bar only when it is a terminal.
ProgressStyle styleFor(std::FILE* out, bool quiet);

// The length of the well-formed UTF-8 sequence at the start of `text` (not empty), 0 when
// there is none: overlong forms, surrogates and values past Unicode are not UTF-8.
std::size_t utf8Length(std::string_view text);

// `text` safe to print on a terminal: control characters (escape codes, line breaks, C1
// codes) and bytes that are not UTF-8 become \xNN, a backslash \\; the rest stays as it is.
std::string escapedForTerminal(std::string_view text);

} // namespace kw::cli
