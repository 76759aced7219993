#pragma once

namespace kw::stlink {

// TOLVANEX_STLINK_LOG: 0 (unset) nothing, 1 which probe and speed a transfer uses, any speed
// fallback and why it failed, 2 also every USB command with its reply. Off by default so that
// a host's own terminal output (a command line's progress bar) is never broken into.
int logLevel() noexcept;

// One line on stderr, prefixed with the library's name, when the level is at least `level`.
void logLine(int level, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

} // namespace kw::stlink
