// Runs a fuzz target over saved inputs without libFuzzer, so that the seeds and every input
// that once broke a target are checked by the ordinary test suite (and under the sanitizers
// by its sanitizer build). Each argument is a file, or a folder whose files are replayed in
// name order; names starting with '.' are skipped. A crash, a sanitizer report or a broken
// invariant ends the run as it would end fuzzing, after the input's name is printed.
// Exit status: 0 every input passed; 1 a target returned non-zero or there was no input;
// 2 an argument cannot be read.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool collect(const fs::path& argument, std::vector<fs::path>& inputs) {
    std::error_code ec;
    if (fs::is_regular_file(argument, ec)) {
        inputs.push_back(argument);
        return true;
    }
    if (!fs::is_directory(argument, ec))
        return false;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(argument, ec)) {
        if (entry.is_regular_file(ec) && !entry.path().filename().string().starts_with('.'))
            files.push_back(entry.path());
    }
    if (ec)
        return false;
    std::sort(files.begin(), files.end());
    inputs.insert(inputs.end(), files.begin(), files.end());
    return true;
}

bool readInput(const fs::path& file, std::vector<char>& bytes) {
    std::ifstream in(file, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], inputs)) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    std::vector<char> bytes;
    for (const fs::path& input : inputs) {
        if (!readInput(input, bytes)) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            return 2;
        }
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", input.c_str(), bytes.size());
        // A buffer of exactly the input's length, as libFuzzer passes it, so that the
        // sanitizers see a read past its end.
        const auto data = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(bytes.size(), 1));
        std::copy(bytes.begin(), bytes.end(), data.get());
        if (LLVMFuzzerTestOneInput(data.get(), bytes.size()) != 0) {
            std::fprintf(stderr, "%s: the target returned non-zero\n", input.c_str());
            return 1;
        }
    }
    std::fprintf(stderr, "%zu inputs replayed\n", inputs.size());
    return 0;
}
