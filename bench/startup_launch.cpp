// Starts programs that report their first paint (see startup_probe.h) and measures the time
// from process start to that paint.
//
// usage: bench_launch RUNS COMMAND [ARG...] [-- COMMAND [ARG...]]...
//
// Each command runs once to warm the caches, then RUNS times, the commands taking turns so
// that a change in the machine's load falls on all of them alike. Prints one line per command:
//     <median ms> <min ms> <max ms> <median peak RSS KiB>
// and exits 1 if a run fails, hangs or prints no report.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int kTimeoutMs = 30'000;

long long monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

struct Run {
    double ms;
    long long peakKiB;
};

void fail(const std::vector<char*>& command, const char* why) {
    std::fprintf(stderr, "bench_launch: %s: %s\n", command[0], why);
}

std::optional<Run> runOnce(const std::vector<char*>& command) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        fail(command, std::strerror(errno));
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);

    pid_t pid = 0;
    const long long started = monotonicNanos();
    const int spawned = posix_spawn(&pid, command[0], &actions, nullptr, command.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        fail(command, std::strerror(spawned));
        return std::nullopt;
    }

    std::string output;
    bool timedOut = false;
    const long long deadline = started + kTimeoutMs * 1'000'000LL;
    for (;;) {
        const long long left = (deadline - monotonicNanos()) / 1'000'000;
        pollfd readable{out[0], POLLIN, 0};
        if (left <= 0 || ::poll(&readable, 1, static_cast<int>(left)) == 0) {
            timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        char chunk[512];
        const ssize_t got = ::read(out[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        output.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        fail(command, "no report within 30 s, killed");
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fail(command, "did not exit with status 0");
        return std::nullopt;
    }
    long long painted = 0;
    long long peakKiB = 0;
    if (std::sscanf(output.c_str(), "%lld %lld", &painted, &peakKiB) != 2 || painted < started) {
        fail(command, "printed no report");
        return std::nullopt;
    }
    return Run{static_cast<double>(painted - started) / 1e6, peakKiB};
}

template <class T> T median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 2 ? std::atoi(argv[1]) : 0;
    if (runs < 1) {
        std::fprintf(stderr,
                     "usage: bench_launch RUNS COMMAND [ARG...] [-- COMMAND [ARG...]]...\n");
        return 2;
    }
    std::vector<std::vector<char*>> commands(1);
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            commands.emplace_back();
        else
            commands.back().push_back(argv[i]);
    }
    for (auto& command : commands) {
        if (command.empty()) {
            std::fprintf(stderr, "bench_launch: empty command\n");
            return 2;
        }
        command.push_back(nullptr);
    }

    std::vector<std::vector<Run>> results(commands.size());
    for (int round = 0; round <= runs; ++round) {
        for (std::size_t c = 0; c < commands.size(); ++c) {
            const std::optional<Run> run = runOnce(commands[c]);
            if (!run)
                return 1;
            if (round > 0) // round 0 warms the caches
                results[c].push_back(*run);
        }
    }
    for (const auto& runsOfCommand : results) {
        std::vector<double> times;
        std::vector<long long> peaks;
        for (const Run& run : runsOfCommand) {
            times.push_back(run.ms);
            peaks.push_back(run.peakKiB);
        }
        std::printf("%.1f %.1f %.1f %lld\n", median(times),
                    *std::min_element(times.begin(), times.end()),
                    *std::max_element(times.begin(), times.end()), median(peaks));
    }
    return 0;
}
