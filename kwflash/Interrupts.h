#pragma once

namespace kw::cli {

// Ctrl+C (SIGINT) and SIGTERM are noted rather than obeyed, so that a transfer can stop
// between blocks and release the programmer, which leaves the chip locked and reset. A
// second one ends the process at once.
void catchInterrupts();

// The signal noted so far, 0 when none.
int interruption() noexcept;

// While a transfer runs, a programmer library that ends the process (exit()) must not make it
// look like success: the process then prints `what` and the block, and exits with
// kInternalError. Installs the exit check on first use; one transfer at a time.
class TransferExitCheck {
public:
    explicit TransferExitCheck(const char* what, int blocks);
    ~TransferExitCheck();
    TransferExitCheck(const TransferExitCheck&) = delete;
    TransferExitCheck& operator=(const TransferExitCheck&) = delete;

    // The block now being transferred, counted from 0.
    static void atBlock(int block) noexcept;
};

} // namespace kw::cli
