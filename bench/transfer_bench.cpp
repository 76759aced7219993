// Prints Markdown table rows: | measurement | result | goal | reproduce with |
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_host.h"
#include "programmer/DlProgrammer.h"
#include "programmer/Pause.h"
#ifdef KW_BENCH_HELPER
#include "programmer/ProcessProgrammer.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

using kw::bench::BenchHost;

constexpr const char* kReproduce = "`sh bench/transfer.sh build-release`";

void row(const std::string& measurement, const std::string& result, const std::string& goal) {
    std::printf("| %s | %s | %s | %s |\n", measurement.c_str(), result.c_str(), goal.c_str(),
                kReproduce);
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace

int main() {
    kw::DlProgrammer programmer(std::make_shared<kw::SystemLibraryLoader>(KW_BENCH_LIBRARY_DIR));
    const kw::ImageBuffer image(kw::kTransferLength);
    const auto flash = [&image] { return &image; };
    constexpr double kPauses = 8 * 30 + 56 * 5;

    const auto downloads = [&](kw::Programmer& through, BenchHost& host, int runs) {
        std::vector<double> times;
        for (int run = 0; run < runs; ++run) {
            const auto start = Clock::now();
            if (kw::runDownload(through, flash, host).outcome != kw::TransferOutcome::Completed) {
                std::fprintf(stderr, "download failed: %s\n", host.failure.c_str());
                std::exit(1);
            }
            times.push_back(msSince(start));
        }
        return median(times);
    };
    const auto readBacks = [&](kw::Programmer& through, int runs) {
        BenchHost quiet;
        std::vector<double> reads;
        for (int run = 0; run < runs; ++run) {
            const auto start = Clock::now();
            const auto result = kw::runReadBack(through, quiet);
            reads.push_back(msSince(start));
            if (result.outcome != kw::TransferOutcome::Completed) {
                std::fprintf(stderr, "read-back failed: %s\n", quiet.failure.c_str());
                std::exit(1);
            }
        }
        return median(reads);
    };

    BenchHost precise;
    const double download = downloads(programmer, precise, 11);
    row("download, 64 blocks, instant library, median of 11",
        fixed(download, 1) + " ms (+" + fixed(download - kPauses, 2) + " ms over 520 ms of pauses)",
        "≤ 525 ms");
    row("shortest pause minus its nominal length, 704 pauses",
        fixed(precise.shortestMargin * 1000, 1) + " µs", "≥ 0");

    BenchHost plain;
    plain.plainSleep = true;
    const double relative = downloads(programmer, plain, 5);
    row("for comparison: the same download with plain relative sleeps, median of 5",
        fixed(relative, 1) + " ms (+" + fixed(relative - kPauses, 2) + " ms)", "—");

    row("read-back, 256 blocks, instant library, median of 21",
        fixed(readBacks(programmer, 21), 3) + " ms", "≤ 20 ms");

#ifdef KW_BENCH_HELPER
    kw::HelperSettings settings;
    settings.helper = KW_BENCH_HELPER;
    settings.libraryFolder = KW_BENCH_LIBRARY_DIR;
    kw::ProcessProgrammer helper(settings);

    // Alternated with the in-process download, so that both see the same machine.
    std::vector<double> inHelper;
    std::vector<double> inProcess;
    for (int run = 0; run < 11; ++run) {
        BenchHost host;
        inHelper.push_back(downloads(helper, host, 1));
        inProcess.push_back(downloads(programmer, host, 1));
    }
    const double helperDownload = median(inHelper);
    const double processDownload = median(inProcess);
    row("download, 64 blocks, instant library, in the helper process, median of 11 (in process "
        "alternately: " +
            fixed(processDownload, 1) + " ms)",
        fixed(helperDownload, 1) + " ms (" + (helperDownload >= processDownload ? "+" : "") +
            fixed(helperDownload - processDownload, 2) + " ms)",
        "≤ in process + 2 ms");
    row("read-back, 256 blocks, instant library, in the helper process, median of 21",
        fixed(readBacks(helper, 21), 3) + " ms", "—");

    // A session's fixed cost: start the helper, load, release, end and reap it.
    const auto sessions = [](kw::Programmer& through, int runs) {
        std::vector<double> times;
        for (int run = 0; run < runs; ++run) {
            const auto start = Clock::now();
            if (!through.open({})) {
                std::fprintf(stderr, "open failed: %s\n", through.openFailure().c_str());
                std::exit(1);
            }
            through.close();
            times.push_back(msSince(start));
        }
        return median(times);
    };
    row("session start and end (open + close, no block), in the helper process, median of 51",
        fixed(sessions(helper, 51), 3) + " ms (in process: " + fixed(sessions(programmer, 51), 3) +
            " ms)",
        "—");

    // One call's round trip: a 128-byte block there, its code back.
    const auto calls = [](kw::Programmer& through, int count, int pauseMs = 0) {
        through.open({});
        const std::array<std::uint8_t, kw::kSetFlashDataBlockSize> block{};
        std::vector<double> times;
        for (int k = 0; k < count; ++k) {
            kw::preciseSleep(pauseMs);
            const auto start = Clock::now();
            through.writeBlock((k % 64) * kw::kSetFlashDataBlockSize, block);
            times.push_back(msSince(start) * 1000);
        }
        through.close();
        return median(times);
    };
    row("one SetFlashData call's round trip, in the helper process, median of 5000",
        fixed(calls(helper, 5000), 1) + " µs (in process: " + fixed(calls(programmer, 5000), 2) +
            " µs)",
        "—");
    // As in a download: the helper has slept through the window's pause.
    row("the same after a 5 ms pause, as in a download, median of 200",
        fixed(calls(helper, 200, 5), 1) +
            " µs (in process: " + fixed(calls(programmer, 200, 5), 2) + " µs)",
        "—");
#endif
    return 0;
}
