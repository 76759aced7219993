#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kw::test {

// Runs `body` in a child process that the system ends after `seconds`, so that code which
// hangs fails its test instead of stopping the suite. True when the body returned true in
// time. The child is a copy of the test: it reports only through its result, and what it
// changes in memory is lost.
template <class Body> bool returnsTrueWithin(unsigned seconds, Body&& body) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::alarm(seconds);
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    pid_t waited = 0;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace kw::test
