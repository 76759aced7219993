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

} // namespace

void preciseSleep(int milliseconds) noexcept {
    if (milliseconds <= 0)
        return;

    // Sleeping to an absolute deadline keeps the time spent getting here and any signal
    // interruptions from stretching the pause.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1'000'000L;
    if (deadline.tv_nsec >= 1'000'000'000L) {
        deadline.tv_nsec -= 1'000'000'000L;
        ++deadline.tv_sec;
    }

    const int previousSlack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (previousSlack > 0)
        prctl(PR_SET_TIMERSLACK, kSleepSlackNs, 0, 0, 0);

    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }

    // Leave the thread as we found it; the rest of the UI thread does not need fine timers.
    if (previousSlack > 0)
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previousSlack), 0, 0, 0);
}

#endif

} // namespace kw
