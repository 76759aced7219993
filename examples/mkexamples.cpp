// kw_mkexamples OUTDIR: writes the example images blink.hex (Intel HEX, 512 records of 16
// bytes and an end-of-file record) and blink.bin (the same 8192 bytes raw). The output is
// the same on every run, so the committed files can be regenerated and compared.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "image/IntelHexLoader.h"
#include "image/IntelHexWriter.h"
#include "target/Chip.h"

namespace {

constexpr std::size_t kImageSize = kw::kLargestChip.flashSize;

// A small blink program laid out like STM8 flash: the interrupt vector table, the code, a
// banner string and a table of every byte value; the rest stays erased (0xFF).
std::vector<std::uint8_t> makeImage() {
    std::vector<std::uint8_t> image(kImageSize, 0xFF);
    auto put = [&image](std::size_t at, std::initializer_list<std::uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<long>(at));
    };

    // 32 vectors "INT addr": reset to the code at 0x8080, everything else to a handler
    // that returns at once.
    for (std::size_t v = 0; v < 32; ++v)
        put(v * 4, {0x82, 0x00, 0x80, static_cast<std::uint8_t>(v == 0 ? 0x80 : 0xC0)});

    // Reset: PD3 as push-pull output, then toggle it with a busy-wait delay forever.
    put(0x80, {
                  0x35, 0x08, 0x50, 0x11, // MOV PD_DDR, #0x08
                  0x35, 0x08, 0x50, 0x12, // MOV PD_CR1, #0x08
                  0x90, 0x16, 0x50, 0x0F, // loop: BCPL PD_ODR, #3
                  0xAE, 0xFF, 0xFF,       // LDW X, #0xFFFF
                  0x5A,                   // delay: DECW X
                  0x26, 0xFD,             // JRNE delay
                  0x20, 0xF4,             // JRA loop
              });
    put(0xC0, {0x80}); // IRET

    constexpr std::string_view kBanner =
        "KALIWIRE example image: blink an LED on PD3. 8192 bytes, made by kw_mkexamples.";
    std::copy(kBanner.begin(), kBanner.end(), image.begin() + 0x100);

    for (std::size_t i = 0; i < 256; ++i)
        image[0x200 + i] = static_cast<std::uint8_t>(i);
    return image;
}

void writeFile(const std::filesystem::path& file, const void* data, std::size_t size) {
    std::ofstream out(file, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush())
        throw std::runtime_error("cannot write " + file.string());
}

} // namespace

int main(int argc, char** argv) try {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kw_mkexamples OUTDIR\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    const std::vector<std::uint8_t> image = makeImage();
    const std::string hex = kw::toIntelHex(image, 0);

    // The tool must read back exactly what was written.
    const kw::HexLoadResult check = kw::decodeIntelHex(hex, kImageSize);
    if (check.cut || !std::equal(image.begin(), image.end(), check.image->bytes().begin()))
        throw std::runtime_error("the generated HEX text does not load back as the image");

    writeFile(dir / "blink.hex", hex.data(), hex.size());
    writeFile(dir / "blink.bin", image.data(), image.size());
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "kw_mkexamples: %s\n", e.what());
    return 1;
}
