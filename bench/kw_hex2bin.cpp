// kw_hex2bin IN.hex OUT.bin [flashSize]: the tool's Intel HEX loader as a command, writing
// the first flashSize bytes (default 8192) of the loaded image as a raw binary.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>

#include "image/IntConv.h"
#include "image/IntelHexLoader.h"
#include "target/Chip.h"

int main(int argc, char** argv) try {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: kw_hex2bin IN.hex OUT.bin [flashSize]\n");
        return 2;
    }
    const std::int32_t flashSize = argc == 4 ? kw::strToInt(argv[3]) : kw::kLargestChip.flashSize;
    if (flashSize <= 0) {
        std::fprintf(stderr, "kw_hex2bin: the flash size must be positive\n");
        return 2;
    }
    const kw::HexLoadResult result = kw::loadIntelHexFile(argv[1], flashSize);
    if (result.base != 0)
        std::fprintf(stderr,
                     "kw_hex2bin: every data record lies at or above 0x%X: read from there\n",
                     static_cast<unsigned>(result.base));
    if (result.cut)
        std::fprintf(stderr, "kw_hex2bin: the image reaches past %d bytes and was cut there\n",
                     flashSize);
    const auto bytes = result.image->bytes().first(
        std::min<std::size_t>(static_cast<std::size_t>(flashSize), result.image->size()));
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        std::fprintf(stderr, "kw_hex2bin: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "kw_hex2bin: %s\n", e.what());
    return 1;
}
