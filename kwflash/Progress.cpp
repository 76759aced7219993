#include "kwflash/Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "kwflash/Interrupts.h"
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

void appendEscaped(std::string& out, unsigned char byte) {
    char text[5];
    std::snprintf(text, sizeof text, "\\x%02X", byte);
    out += text;
}

} // namespace

std::size_t utf8Length(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    unsigned value = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        value = value << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not UTF-8.
    static constexpr unsigned kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
        return 0;
    return length;
}

std::string escapedForTerminal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        const std::size_t length = utf8Length(text);
        if (length == 0 || byte < 0x20 || byte == 0x7F) {
            appendEscaped(out, byte);
            text.remove_prefix(1);
            continue;
        }
        if (byte == '\\') {
            out += "\\\\";
        } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0) {
            // U+0080 to U+009F: C1 controls, which some terminals obey.
            appendEscaped(out, byte);
            appendEscaped(out, static_cast<unsigned char>(text[1]));
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

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
    lastSession_.clear();
    part_.reset();
}

void ConsoleHost::started(TransferKind kind) {
    if (part_ && *part_ != kind) {
        endLine();
        switch (kind) {
        case TransferKind::Download:
        case TransferKind::ReadBack:
            label_ = "Flash";
            break;
        case TransferKind::EepromWrite:
        case TransferKind::EepromRead:
            label_ = "EEPROM";
            break;
        case TransferKind::OptionRead:
        case TransferKind::OptionWrite:
        case TransferKind::Unlock:
            label_ = "Options";
            break;
        }
        blocks_ = 0;
        lastDrawn_ = -1;
        lastQuarter_ = -1;
    }
    part_ = kind;
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
    std::fprintf(out_, "%s\n", escapedForTerminal(text).c_str());
    std::fflush(out_);
}

void ConsoleHost::setProgressMaximum(int maximum) {
    // Option bytes are a handful of single writes: no bar for them.
    if (part_ == TransferKind::OptionWrite)
        return;
    blocks_ = maximum + 1;
    draw(0);
}

void ConsoleHost::blockDone(TransferKind, int block) {
    draw(block + 1);
}

void ConsoleHost::sessionEnding(TransferKind, Programmer& programmer) {
    if (!programmer.offers(Operation::Report))
        return;
    ResultCode code = 0;
    lastSession_ = programmer.report("session", code);
}

bool ConsoleHost::cancelled() {
    return interruption() != 0;
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
