// Loading Intel HEX from a file, which is read piece by piece, must give exactly what decoding
// the same text in memory gives, wherever the pieces happen to split it.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "image/Errors.h"
#include "image/IntelHexLoader.h"
#include "support/HexText.h"

namespace kw {
namespace {

// The size of the pieces the file loader reads; the texts below put line breaks, long lines,
// cuts and errors around multiples of it.
constexpr std::size_t kPiece = std::size_t{1} << 20;

struct Outcome {
    std::optional<std::string> error;
    std::vector<std::uint8_t> image;
    bool cut = false;
    std::uint32_t base = 0;
    bool operator==(const Outcome&) const = default;
};

template <typename Load> Outcome outcomeOf(Load&& load) {
    Outcome out;
    try {
        const HexLoadResult r = load();
        out.image.assign(r.image->bytes().begin(), r.image->bytes().end());
        out.cut = r.cut;
        out.base = r.base;
    } catch (const ConvertError& e) {
        out.error = e.what();
    }
    return out;
}

void expectFileLoadsAsText(const std::string& text, std::int32_t flashSize = 8192) {
    const test::TempDir dir;
    const auto file = dir.write("t.hex", text);
    const Outcome fromText = outcomeOf([&] { return decodeIntelHex(text, flashSize); });
    const Outcome fromFile = outcomeOf([&] { return loadIntelHexFile(file, flashSize); });
    EXPECT_EQ(fromFile.error, fromText.error);
    EXPECT_EQ(fromFile.cut, fromText.cut);
    EXPECT_EQ(fromFile.base, fromText.base);
    EXPECT_TRUE(fromFile.image == fromText.image) << "the images differ";
}

// `head` followed by records at `fillAt` and then line breaks, so that `next` starts at
// character `offset` of the text.
std::string placedAt(std::string head, std::size_t offset, const std::string& next,
                     unsigned fillAt = 0x0100) {
    const std::string filler = hexRecord(fillAt, std::vector<std::uint8_t>(16, 0x5A));
    while (head.size() + filler.size() <= offset)
        head += filler;
    head.append(offset - head.size(), '\n');
    return head + next;
}

// A line far longer than any record that starts as a data record of 255 bytes.
std::string longDataLine(unsigned address, std::size_t length) {
    std::string line = hexLine(address, std::vector<std::uint8_t>(255, 0xA5));
    line.resize(length, 'C');
    return line;
}

TEST(HexFileTest, LineBreaksAndRecordsAcrossPieces) {
    const std::string record = hexLine(0x0200, {0x11, 0x22, 0x33});
    const std::string after = hexRecord(0x0300, {0x44});
    for (const char* lineBreak : {"\n", "\r\n", "\r", "\r\n\r\n"}) {
        std::string next = record;
        next.append(lineBreak).append(after);
        for (std::size_t end = kPiece - 3; end <= kPiece + 3; ++end) {
            SCOPED_TRACE(::testing::Message() << "break at " << end);
            expectFileLoadsAsText(placedAt("", end - record.size(), next));
        }
    }
    // The last line needs no break, also right after a piece.
    expectFileLoadsAsText(placedAt("", kPiece, record));
}

TEST(HexFileTest, LinesLongerThanAnyRecord) {
    const std::string after = hexRecord(0x0300, {0x44});
    for (std::size_t start : {std::size_t{0}, kPiece - 600, kPiece - 519, kPiece - 10, kPiece}) {
        SCOPED_TRACE(::testing::Message() << "long line at " << start);
        // Its data records are stored, the rest of it up to its break is dropped.
        expectFileLoadsAsText(placedAt("", start, longDataLine(0x0400, 3000) + "\n" + after));
        expectFileLoadsAsText(placedAt("", start, longDataLine(0x0400, 2 * kPiece) + "\r\n"));
        // Ending the file without a break.
        expectFileLoadsAsText(placedAt("", start, longDataLine(0x0400, kPiece + 7)));
        // A record whose count says 255 but whose line ends inside the 255th byte.
        expectFileLoadsAsText(placedAt("", start, longDataLine(0x0400, 518) + "\n" + after));
    }
}

TEST(HexFileTest, CutsErrorsAndTheBaseFarIntoTheFile) {
    const std::string high = hexRecord(0x8000, {0x01, 0x02});
    const std::string pastFlash = hexRecord(0x9FFF, {0x03, 0x04});
    const std::string low = hexRecord(0x0010, {0x05});
    const std::string bad = ":01800100G1\n";
    // Read from base 0, with a cut and then an error in later pieces.
    expectFileLoadsAsText(placedAt("", kPiece + 5, hexRecord(0x3000, {1}) + low));
    expectFileLoadsAsText(placedAt("", 2 * kPiece - 4, bad + low));
    // Read from the flash base: complete, cut, and an error, each with and without a record
    // below the base far behind it.
    for (const std::string& event : {std::string(), pastFlash, bad}) {
        const std::string head = placedAt(high, kPiece - 3, event, 0x8100);
        expectFileLoadsAsText(placedAt(head, 2 * kPiece, high, 0x8100));
        expectFileLoadsAsText(placedAt(head, 3 * kPiece + 11, low, 0x8100));
    }
}

// Texts of random lines around the records the loader meets: data records in and beyond
// the flash, below and above its base, other record types, empty lines, long lines, an
// error line, with every kind of line break.
TEST(HexFileTest, RandomTexts) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        std::mt19937 random(seed);
        const auto pick = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
        const unsigned lowest = seed % 2 == 0 ? 0x8000 : 0x0000;
        const char* const breaks[] = {"\n", "\r\n", "\r", "\n\n"};
        std::string text;
        while (text.size() < 3 * kPiece) {
            const unsigned kind = pick(100);
            if (kind < 80) {
                std::vector<std::uint8_t> data(kind < 2 ? 255 : 1 + pick(32));
                for (auto& b : data)
                    b = static_cast<std::uint8_t>(random());
                text += hexLine(lowest + pick(seed < 5 ? 0x1FE0 : 0x2100), data);
            } else if (kind < 90) {
                text += hexLine(pick(0x10000), {0x12, 0x34}, 1 + pick(5));
            } else if (kind < 99) {
                text += ":00" + std::string(6 + pick(2000), 'F');
            } else if (pick(5) == 0) {
                text += ":0" + std::string(pick(kPiece), 'C') + "01";
            }
            text += breaks[pick(4)];
        }
        if (seed % 3 == 0)
            text.insert(text.size() - pick(static_cast<unsigned>(kPiece)), "\n:0100000 0\n");
        if (seed == 6)
            text += hexRecord(0x0000, {0x77});
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        expectFileLoadsAsText(text, seed % 4 == 1 ? 4096 : 8192);
    }
}

// The strict reading's error names the same line, read from a file or from memory, wherever
// the pieces split the text: a CR LF across two pieces is one line break.
std::string strictError(const std::string& text, bool fromFile) {
    try {
        if (fromFile) {
            const test::TempDir dir;
            loadIntelHexFile(dir.write("t.hex", text), 8192, HexChecks::Strict);
        } else {
            decodeIntelHex(text, 8192, HexChecks::Strict);
        }
    } catch (const ConvertError& e) {
        return e.what();
    }
    return "accepted";
}

// The number of the line that starts at the end of `text`, counted as an editor does.
std::size_t lineAtEnd(std::string text) {
    std::size_t lines = 1;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            ++lines;
    return lines;
}

TEST(HexFileTest, StrictErrorsNameTheLineAcrossPieces) {
    const std::string bad = ":01800100G1\n";
    for (const char* lineBreak : {"\n", "\r\n", "\r"}) {
        for (std::size_t breakAt = kPiece - 2; breakAt <= kPiece + 1; ++breakAt) {
            SCOPED_TRACE(::testing::Message() << "break at " << breakAt);
            const std::string text =
                placedAt("", breakAt, std::string(lineBreak), 0x8100) + std::string(lineBreak);
            const std::string expected = "line " + std::to_string(lineAtEnd(text)) +
                                         ": 'G' at column 10 is not a hexadecimal digit";
            EXPECT_EQ(strictError(text + bad, false), expected);
            EXPECT_EQ(strictError(text + bad, true), expected);
        }
    }
}

// The longest record, 255 bytes, is read whole from a file, checksum included; a line one
// character longer is refused, also one far longer than the piece read at a time.
TEST(HexFileTest, StrictLongestRecordAndLongerLines) {
    const std::string longest = hexRecord(0x8000, std::vector<std::uint8_t>(255, 0xA5));
    EXPECT_EQ(strictError(longest, true), "accepted");
    EXPECT_EQ(strictError(longest, false), "accepted");
    const std::string tooLong = longest.substr(0, longest.size() - 1) + "0\n";
    EXPECT_EQ(strictError(tooLong, false),
              "line 1: a record of 255 bytes is 521 characters long, this line 522");
    EXPECT_EQ(strictError(tooLong, true), strictError(tooLong, false));
    EXPECT_EQ(strictError("\n" + longDataLine(0x8000, 3 * kPiece), true),
              "line 2: longer than any record (521 characters)");
}

// Peak memory of this process in KiB, from /proc/self/status.
long statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

// A file far larger than the image loads within a fixed amount of memory; bench/hexload.sh
// shows the same for a 1 GB file.
TEST(HexFileTest, MemoryFollowsTheImageNotTheFile) {
    const test::TempDir dir;
    const auto file = dir.path() / "large.hex";
    {
        const std::string pass = hexImage(8192);
        std::ofstream out(file, std::ios::binary);
        for (std::size_t written = 0; written < 128 * kPiece; written += pass.size())
            out.write(pass.data(), static_cast<std::streamsize>(pass.size()));
        ASSERT_TRUE(out.flush());
    }
    // Writing 5 resets the peak to the present resident size.
    std::ofstream reset("/proc/self/clear_refs");
    if (!(reset << "5" << std::flush))
        GTEST_SKIP() << "this system does not let a process reset its peak memory";
    reset.close();
    const long before = statusKiB("VmRSS");
    ASSERT_GT(before, 0);

    const HexLoadResult r = loadIntelHexFile(file, 8192);
    const long peak = statusKiB("VmHWM");
    EXPECT_FALSE(r.cut);
    EXPECT_EQ(r.image->bytes()[8191], hexImageByte(8191));
    EXPECT_LT(peak - before, 64 * 1024) << "KiB above the resident size before the load";
}

} // namespace
} // namespace kw
