#pragma once

namespace kw::cli {

// Ctrl+C (SIGINT) and SIGTERM are noted rather than obeyed, so that a transfer can stop
// between blocks and release the programmer, which leaves the chip locked and reset. A
// second one ends the process at once.
void catchInterrupts();

// The signal noted so far, 0 when none.
int interruption() noexcept;

} // namespace kw::cli
