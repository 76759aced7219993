#include "kwflash/Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "programmer/Pause.h"

namespace kw::cli {

namespace {

constexpr int kLongestBar = 40;
constexpr int kShortestBar = 10;
// Label, brackets, percentage and block counts around the bar.
constexpr int kTextAroundBar = 38;
constexpr int kQuarters = 4;

int terminalColumns(std::FILE* out) {
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

} // namespace

ProgressStyle styleFor(std::FILE* out, bool quiet) {
    if (quiet)
        return ProgressStyle::Quiet;
    return ::isatty(::fileno(out)) != 0 ? ProgressStyle::Bar : ProgressStyle::Lines;
}

ConsoleHost::ConsoleHost(std::FILE* out, ProgressStyle style) : out_(out), style_(style) {}

void ConsoleHost::begin(const char* label) {
    endLine();
    label_ = label;
    blocks_ = 0;
    lastDrawn_ = -1;
    lastQuarter_ = -1;
}

void ConsoleHost::endLine() {
    if (onBarLine_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        onBarLine_ = false;
    }
}

void ConsoleHost::say(const std::string& text) {
    if (style_ == ProgressStyle::Quiet)
        return;
    endLine();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void ConsoleHost::setProgressMaximum(int maximum) {
    blocks_ = maximum + 1;
    draw(0);
}

void ConsoleHost::setProgress(int position) {
    draw(position + 1);
}

void ConsoleHost::pause(int milliseconds) {
    preciseSleep(milliseconds);
}

void ConsoleHost::draw(int done) {
    if (style_ == ProgressStyle::Quiet || blocks_ <= 0)
        return;
    done = std::clamp(done, 0, blocks_);
    const int percent = done * 100 / blocks_;

    if (style_ == ProgressStyle::Lines) {
        const int quarter = done * kQuarters / blocks_;
        if (quarter == lastQuarter_)
            return;
        lastQuarter_ = quarter;
        std::fprintf(out_, "%s: %d/%d blocks (%d%%)\n", label_.c_str(), done, blocks_, percent);
        std::fflush(out_);
        return;
    }

    if (done == lastDrawn_)
        return;
    lastDrawn_ = done;
    // The line keeps its width from one redraw to the next, so each one covers the last; it
    // stays narrower than the terminal, since a wrapped line could not be redrawn.
    const int width = std::min(kLongestBar, terminalColumns(out_) - kTextAroundBar);
    std::string bar;
    if (width >= kShortestBar) {
        const int filled = done * width / blocks_;
        bar = " [" + std::string(static_cast<std::size_t>(filled), '#') +
              std::string(static_cast<std::size_t>(width - filled), '.') + "]";
    }
    std::fprintf(out_, "\r%-9s%s %3d%% %3d/%d blocks", label_.c_str(), bar.c_str(), percent, done,
                 blocks_);
    std::fflush(out_);
    onBarLine_ = true;
}

} // namespace kw::cli
