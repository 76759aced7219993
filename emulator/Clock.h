#pragma once

#include <chrono>
#include <cstdint>

namespace kw::emu {

// Emulated time in nanoseconds since the emulator started.
using Nanos = std::int64_t;

constexpr Nanos kMicro = 1'000;
constexpr Nanos kMilli = 1'000'000;

// The emulator's clock. Every modelled cost (a USB transfer, bits on the SWIM wire, a flash
// block programming) advances it; with a positive time scale it also sleeps so that the wall
// clock keeps in step, and time the client spends between calls counts as emulated time. With
// scale 0 it never sleeps and ignores the wall clock, so tests run at full speed while the
// order of events (busy replies, end of programming) stays the same.
class EmulatedClock {
public:
    explicit EmulatedClock(double scale);

    Nanos now();
    void spend(Nanos duration);

private:
    Nanos wallAsEmulated() const;

    double scale_;
    Nanos emulated_ = 0;
    std::chrono::steady_clock::time_point wallStart_;
};

} // namespace kw::emu
