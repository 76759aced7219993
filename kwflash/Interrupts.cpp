#include "kwflash/Interrupts.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "kwflash/Commands.h"

namespace kw::cli {

namespace {

// Set by the handler, which may run on a library's own thread; read by the transfer's.
std::atomic<int> caught{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may not take a lock");

void onInterrupt(int signal) {
    if (caught.load() != 0) {
        // The user insists: end now, as the default action would have at first.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    caught.store(signal);
}

} // namespace

void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // A library's USB calls go on undisturbed: the block in flight is finished.
    action.sa_flags = SA_RESTART;
    // SIGHUP: the terminal closed. A signal ignored from the start (nohup, a script's
    // background job) stays ignored.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

int interruption() noexcept {
    return caught.load();
}

} // namespace kw::cli
