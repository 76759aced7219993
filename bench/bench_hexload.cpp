// In-process Intel HEX decode throughput, and the memory a file load needs.
//
//   bench_hexload [--mb N] [--runs N]   decode an N-MB text N times, print the median
//   bench_hexload --write FILE [--mb N] write the same text to FILE (for process benches)
//   bench_hexload --peak FILE           load FILE, print the peak memory above the idle process

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "bench/hexgen.h"
#include "bench/peak_rss.h"
#include "image/IntelHexLoader.h"
#include "target/Chip.h"

namespace {

using Clock = std::chrono::steady_clock;

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Seconds for one decode; the checksum of the result keeps the work observable.
double timeDecode(const std::string& text, unsigned& sink) {
    const auto start = Clock::now();
    const kw::HexLoadResult result = kw::decodeIntelHex(text, kw::kLargestChip.flashSize);
    const auto stop = Clock::now();
    for (auto b : result.image->bytes().first(kw::kLargestChip.flashSize))
        sink += b;
    sink += result.cut ? 1u : 0u;
    return std::chrono::duration<double>(stop - start).count();
}

int peakMemory(const char* file) {
    const long long idle = kw::bench::peakRssKiB();
    const kw::HexLoadResult result = kw::loadIntelHexFile(file, kw::kLargestChip.flashSize);
    const long long peak = kw::bench::peakRssKiB();
    if (idle < 0 || peak < 0) {
        std::fprintf(stderr, "bench_hexload: no VmHWM in /proc/self/status\n");
        return 1;
    }
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    const auto megabytes = static_cast<double>(in.tellg()) / 1e6;
    std::printf("| Peak memory (VmHWM) loading a %.0f MB Intel HEX file, above the idle process "
                "(idle %.1f MiB, peak %.1f MiB%s) | %.1f MiB | ≤ 64 MiB | "
                "`sh bench/hexload.sh build-release` |\n",
                megabytes, static_cast<double>(idle) / 1024, static_cast<double>(peak) / 1024,
                result.cut ? ", cut" : "", static_cast<double>(peak - idle) / 1024);
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: bench_hexload [--mb N] [--runs N] | --write FILE [--mb N] | "
                         "--peak FILE\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) try {
    std::size_t megabytes = 40;
    int runs = 9;
    const char* writeTo = nullptr;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--mb") == 0 && hasValue)
            megabytes = std::strtoul(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--runs") == 0 && hasValue)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--write") == 0 && hasValue)
            writeTo = argv[++i];
        else if (std::strcmp(argv[i], "--peak") == 0 && hasValue)
            return peakMemory(argv[++i]);
        else
            return usage();
    }

    if (writeTo) {
        kw::bench::writeHexFile(writeTo, megabytes * 1000 * 1000);
        return 0;
    }
    const std::string text = kw::bench::makeHexText(megabytes * 1000 * 1000);

    unsigned sink = 0;
    timeDecode(text, sink); // warm-up: page in the text and the allocator
    std::vector<double> seconds;
    seconds.reserve(static_cast<std::size_t>(runs));
    for (int i = 0; i < runs; ++i)
        seconds.push_back(timeDecode(text, sink));
    const double mbPerSecond = static_cast<double>(text.size()) / 1e6 / medianOf(seconds);

    // The size the tool meets in practice: one 8 KB image, 512 records.
    const std::string small =
        kw::bench::imageRecords(kw::bench::makeImage(kw::kLargestChip.flashSize));
    std::vector<double> smallSeconds;
    smallSeconds.reserve(201);
    for (int i = 0; i < 201; ++i)
        smallSeconds.push_back(timeDecode(small, sink));

    std::printf("| Intel HEX load, in-process (%.0f MB text, median of %d) | %.0f MB/s | "
                "≥ 1000 MB/s | `build-release/bin/bench_hexload` |\n",
                static_cast<double>(text.size()) / 1e6, runs, mbPerSecond);
    std::printf("| Intel HEX load, 8 KB image (512 records), in-process | %.1f µs | — | "
                "build-release/bin/bench_hexload |\n",
                medianOf(smallSeconds) * 1e6);
    std::fprintf(stderr, "(checksum %u)\n", sink);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_hexload: %s\n", e.what());
    return 1;
}
