// Prints Markdown table rows: | measurement | result | goal | reproduce with |
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_host.h"
#include "programmer/DlProgrammer.h"

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

    const auto downloads = [&](BenchHost& host, int runs) {
        std::vector<double> times;
        for (int run = 0; run < runs; ++run) {
            const auto start = Clock::now();
            if (kw::runDownload(programmer, flash, host).outcome !=
                kw::TransferOutcome::Completed) {
                std::fprintf(stderr, "download failed: %s\n", host.failure.c_str());
                std::exit(1);
            }
            times.push_back(msSince(start));
        }
        return median(times);
    };

    BenchHost precise;
    const double download = downloads(precise, 11);
    row("download, 64 blocks, instant library, median of 11",
        fixed(download, 1) + " ms (+" + fixed(download - kPauses, 2) + " ms over 520 ms of pauses)",
        "≤ 525 ms");
    row("shortest pause minus its nominal length, 704 pauses",
        fixed(precise.shortestMargin * 1000, 1) + " µs", "≥ 0");

    BenchHost plain;
    plain.plainSleep = true;
    const double relative = downloads(plain, 5);
    row("for comparison: the same download with plain relative sleeps, median of 5",
        fixed(relative, 1) + " ms (+" + fixed(relative - kPauses, 2) + " ms)", "—");

    BenchHost quiet;
    std::vector<double> reads;
    for (int run = 0; run < 21; ++run) {
        const auto start = Clock::now();
        const auto result = kw::runReadBack(programmer, quiet);
        reads.push_back(msSince(start));
        if (result.outcome != kw::TransferOutcome::Completed) {
            std::fprintf(stderr, "read-back failed: %s\n", quiet.failure.c_str());
            return 1;
        }
    }
    row("read-back, 256 blocks, instant library, median of 21", fixed(median(reads), 3) + " ms",
        "≤ 20 ms");
    return 0;
}
