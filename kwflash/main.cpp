#include <csignal>
#include <cstdio>
#include <exception>

#include "kwflash/Commands.h"

int main(int argc, char** argv) {
    // Progress piped into a reader that quits early (`| head`) must not end the process
    // halfway through programming a chip; the lost output is harmless.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return kw::cli::runCommandLine(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kwflash: internal error: %s\n", e.what());
        return kw::cli::kInternalError;
    }
}
