// The tool's transfers through the ST-LINK library, timed the way a user sees them: the
// download with the window's real pauses, and the read-back. Run it with the emulated
// probe's libusb on the library path (bench/stlink.sh does).
//
//   bench_stlink LIBRARY_DIR IMAGE_A IMAGE_B RUNS OUT_FILE
//
// Downloads IMAGE_B once to set the chip, then A and B in turns so that every block changes,
// then reads back. Writes "download_ms min median max" and "readback_ms min median max" to
// OUT_FILE; exits 1 when a transfer fails or the read-back differs from the last image.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "programmer/Pause.h"
#include "programmer/ProgrammerLibrary.h"
#include "programmer/Transfer.h"

namespace {

using Clock = std::chrono::steady_clock;

class PausingHost final : public kw::TransferHost {
public:
    std::string failure;
    void showMessage(const std::string& text) override { failure += text + "\n"; }
    void appendLine(const std::string& text) override { failure += text + "\n"; }
    void appendStampedLine(const std::string&) override {}
    void setProgressMaximum(int) override {}
    void setProgress(int) override {}
    void processEvents() override {}
    void pause(int milliseconds) override { kw::preciseSleep(milliseconds); }
};

std::vector<std::uint8_t> readImage(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct Spread {
    double min = 0, median = 0, max = 0;
};

Spread spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values.front(), values[values.size() / 2], values.back()};
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench_stlink LIBRARY_DIR IMAGE_A IMAGE_B RUNS OUT_FILE\n");
        return 2;
    }
    kw::SystemLibraryLoader loader(argv[1]);
    std::vector<kw::ImageBuffer> images;
    for (const char* path : {argv[2], argv[3]}) {
        const auto bytes = readImage(path);
        if (bytes.size() != kw::kTransferLength) {
            std::fprintf(stderr, "%s: not an 8192-byte image\n", path);
            return 2;
        }
        images.emplace_back(kw::kTransferLength);
        images.back().copyIn(0, bytes);
    }
    const int runs = std::max(1, std::stoi(argv[4]));

    PausingHost host;
    const auto download = [&](const kw::ImageBuffer& image) {
        const auto start = Clock::now();
        const auto outcome = kw::runDownload(
            loader, [&image] { return &image; }, host);
        if (outcome != kw::TransferOutcome::Completed) {
            std::fprintf(stderr, "download failed: %s%s\n", loader.lastError().c_str(),
                         host.failure.c_str());
            std::exit(1);
        }
        return msSince(start);
    };

    download(images[1]);
    std::vector<double> downloads;
    for (int run = 0; run < runs; ++run)
        downloads.push_back(download(images[run % 2]));
    const kw::ImageBuffer& last = images[(runs - 1) % 2];

    std::vector<double> reads;
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        const auto result = kw::runReadBack(loader, host);
        reads.push_back(msSince(start));
        if (result.outcome != kw::TransferOutcome::Completed || !result.image ||
            !std::ranges::equal(last.bytes(), result.image->bytes())) {
            std::fprintf(stderr, "read-back failed or differs from the image downloaded last%s\n",
                         host.failure.c_str());
            return 1;
        }
    }

    std::FILE* out = std::fopen(argv[5], "w");
    if (out == nullptr)
        return 1;
    const Spread d = spread(downloads);
    const Spread r = spread(reads);
    std::fprintf(out, "download_ms %.1f %.1f %.1f\nreadback_ms %.1f %.1f %.1f\n", d.min, d.median,
                 d.max, r.min, r.median, r.max);
    return std::fclose(out) == 0 ? 0 : 1;
}
