#include "programmer/Pause.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <ctime>
#include <sys/prctl.h>
#endif

namespace kw {

#ifdef _WIN32

void preciseSleep(int milliseconds) noexcept {
    if (milliseconds > 0)
        Sleep(static_cast<DWORD>(milliseconds));
}

#else

namespace {

// The kernel may defer a timer by the thread's slack (50 us by default) to batch wake-ups;
// 64 pauses per download add that up, so the slack is narrowed while we sleep.
constexpr unsigned long kSleepSlackNs = 1000;
// Waking from a timer still takes tens of microseconds on a busy or virtual machine. The
// sleep ends this much early and the rest is spent polling the clock, a fraction of a
// millisecond of CPU per download for pauses that end on time.
constexpr long kSpinNs = 200'000;
constexpr long kNsPerSecond = 1'000'000'000L;

timespec shifted(timespec t, long ns) {
    t.tv_nsec += ns;
    while (t.tv_nsec >= kNsPerSecond) {
        t.tv_nsec -= kNsPerSecond;
        ++t.tv_sec;
    }
    while (t.tv_nsec < 0) {
        t.tv_nsec += kNsPerSecond;
        --t.tv_sec;
    }
    return t;
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

} // namespace

void preciseSleep(int milliseconds) noexcept {
    if (milliseconds <= 0)
        return;

    // Sleeping to an absolute deadline keeps the time spent getting here and any signal
    // interruptions from stretching the pause.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec deadline = now;
    deadline.tv_sec += milliseconds / 1000;
    deadline = shifted(deadline, static_cast<long>(milliseconds % 1000) * 1'000'000L);
    const timespec wake = shifted(deadline, -kSpinNs);

    const int previousSlack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (previousSlack > 0)
        prctl(PR_SET_TIMERSLACK, kSleepSlackNs, 0, 0, 0);

    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }

    // Leave the thread as we found it; the rest of the UI thread does not need fine timers.
    if (previousSlack > 0)
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previousSlack), 0, 0, 0);

    do {
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while (before(now, deadline));
}

#endif

} // namespace kw
