#include "emulator/Clock.h"

#include <algorithm>
#include <thread>

#include <sys/prctl.h>

namespace kw::emu {

namespace {

// Sleeps shorter than this are deferred and merged with the next cost: a system call per
// 125 µs transfer would cost more than it models.
constexpr Nanos kSleepThreshold = 100 * kMicro;
// The wall clock may run this far ahead of emulated time before it pulls emulated time along:
// it absorbs the kernel's late wake-ups, which would otherwise add up over thousands of
// sleeps, without hiding the time a client really spends between calls.
constexpr Nanos kWakeUpTolerance = 50 * kMicro;

void tightenTimerSlack() {
    // The default 50 µs timer slack would make every short sleep late by about that much.
    thread_local bool done = false;
    if (!done) {
        prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
        done = true;
    }
}

} // namespace

EmulatedClock::EmulatedClock(double scale)
    : scale_(std::max(0.0, scale)), wallStart_(std::chrono::steady_clock::now()) {}

Nanos EmulatedClock::wallAsEmulated() const {
    const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now() - wallStart_)
                          .count();
    return static_cast<Nanos>(static_cast<double>(wall) / scale_);
}

Nanos EmulatedClock::now() {
    if (scale_ > 0)
        emulated_ = std::max(emulated_, wallAsEmulated() - kWakeUpTolerance);
    return emulated_;
}

void EmulatedClock::spend(Nanos duration) {
    now();
    emulated_ += std::max<Nanos>(0, duration);
    if (scale_ <= 0)
        return;
    const auto ahead =
        static_cast<Nanos>(static_cast<double>(emulated_ - wallAsEmulated()) * scale_);
    if (ahead < kSleepThreshold)
        return;
    tightenTimerSlack();
    std::this_thread::sleep_until(wallStart_ + std::chrono::nanoseconds(static_cast<Nanos>(
                                                   static_cast<double>(emulated_) * scale_)));
}

} // namespace kw::emu
