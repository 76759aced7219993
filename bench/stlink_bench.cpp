// The tool's transfers through the ST-LINK library, timed the way a user sees them: the
// download with the window's real pauses, and the read-back. Run it with the emulated
// probe's libusb on the library path (bench/stlink.sh does).
//
//   bench_stlink download LIBRARY_DIR IMAGE...   downloads each image in turn, printing the
//                                                milliseconds of each
//   bench_stlink readback LIBRARY_DIR IMAGE RUNS reads back RUNS times, printing the
//                                                milliseconds of each; each must equal IMAGE
//
// Exits 1 when a transfer fails or a read-back differs from the image.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_host.h"
#include "programmer/DlProgrammer.h"

namespace {

using Clock = std::chrono::steady_clock;

bool readImage(const char* path, kw::ImageBuffer& image) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                          std::istreambuf_iterator<char>()};
    if (bytes.size() != image.size()) {
        std::fprintf(stderr, "%s: not an 8192-byte image\n", path);
        return false;
    }
    image.copyIn(0, bytes);
    return true;
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if ((mode != "download" || argc < 4) && (mode != "readback" || argc != 5)) {
        std::fprintf(stderr, "usage: bench_stlink download LIBRARY_DIR IMAGE...\n"
                             "       bench_stlink readback LIBRARY_DIR IMAGE RUNS\n");
        return 2;
    }
    kw::DlProgrammer programmer(std::make_shared<kw::SystemLibraryLoader>(argv[2]));
    kw::bench::BenchHost host;
    kw::ImageBuffer image(kw::kTransferLength);

    if (mode == "download") {
        for (int i = 3; i < argc; ++i) {
            if (!readImage(argv[i], image))
                return 2;
            const auto start = Clock::now();
            if (kw::runDownload(
                    programmer, [&image] { return &image; }, host)
                    .outcome != kw::TransferOutcome::Completed) {
                std::fprintf(stderr, "download failed: %s\n", host.failure.c_str());
                return 1;
            }
            std::printf("%.1f\n", msSince(start));
        }
        return 0;
    }

    if (!readImage(argv[3], image))
        return 2;
    const int runs = std::max(1, std::atoi(argv[4]));
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        const auto result = kw::runReadBack(programmer, host);
        const double ms = msSince(start);
        if (result.outcome != kw::TransferOutcome::Completed || !result.image ||
            !std::ranges::equal(image.bytes(), result.image->bytes())) {
            std::fprintf(stderr, "read-back failed or differs from the image: %s\n",
                         host.failure.c_str());
            return 1;
        }
        std::printf("%.1f\n", ms);
    }
    return 0;
}
