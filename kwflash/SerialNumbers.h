#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kw::cli {

// How a serial number is laid out in the chip's memory.
struct SerialFormat {
    enum class Kind { Le32, Be32, Bcd, Ascii };
    Kind kind = Kind::Le32;
    int width = 4; // bytes in memory: 4, or the digits of ascii:WIDTH

    std::uint64_t largest() const noexcept;
    std::string name() const;
};

// "le32", "be32", "bcd" (8 digits in 4 bytes, most significant first) or "ascii:WIDTH"
// (WIDTH decimal digits, 1 to 19, zero-padded); nullopt for anything else.
std::optional<SerialFormat> parseSerialFormat(std::string_view text);

// The bytes `number` takes in memory, or nullopt when it does not fit the format.
std::optional<std::vector<std::uint8_t>> encodeSerial(std::uint64_t number,
                                                      const SerialFormat& format);

// A plain decimal number, or hexadecimal after 0x, up to 64 bits: serial numbers outgrow
// the tool's 32-bit conversions.
std::optional<std::uint64_t> parseSerialNumber(std::string_view text) noexcept;

// The state file serial numbers of `image` are kept in when none is named: one per image,
// in $XDG_STATE_HOME/kaliwire/serials/ (else ~/.local/state/kaliwire/serials/), named from
// the image's file name and a hash of its absolute path.
std::filesystem::path defaultSerialState(const std::filesystem::path& image);

class SerialStateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The next serial number, kept in a file that any number of kwflash processes and threads
// share (each step holds an flock on FILE.lock). The file is replaced atomically and synced
// at every step, so after a crash or a power loss it holds the last step whole.
//
// A number is recorded "in use" by this process before its board is programmed; done()
// records it used, giveBack() frees it for the next board. A number found in use by a
// process that has ended (a crash, a kill, a power loss) may be on a board already: it is
// skipped, never given again. So no two boards get one number, and a crash costs at most
// the numbers that were being programmed.
class SerialState {
public:
    SerialState(std::filesystem::path file, std::uint64_t start, std::uint64_t step,
                SerialFormat format);

    struct Taken {
        std::uint64_t number = 0;
        // Numbers this call found in use by an ended process and retired.
        std::vector<std::uint64_t> skipped;
    };
    // Throws SerialStateError: the file cannot be read, parsed or written, or the next
    // number does not fit the format.
    Taken take();
    // The board with `number` verified: the number stays used.
    void done(std::uint64_t number);
    // The board failed: `number` goes to the next board.
    void giveBack(std::uint64_t number);

    const std::filesystem::path& file() const noexcept { return file_; }
    // The number the next take() would give, for the start-up line.
    std::uint64_t peek();

private:
    struct Owner {
        long pid = 0;
        unsigned long long started = 0; // the process's start time, telling a reused pid apart
        bool operator==(const Owner&) const = default;
    };
    struct InUse {
        std::uint64_t number;
        Owner owner;
    };
    struct Content {
        std::uint64_t next = 0;
        std::vector<std::uint64_t> free;
        std::vector<InUse> inUse;
        std::vector<std::uint64_t> skipped;
    };
    class Lock;

    Content read() const;
    void write(const Content& content) const;
    static Owner self();
    static bool alive(const Owner& owner);
    void finish(std::uint64_t number, bool used);

    std::filesystem::path file_;
    std::uint64_t start_;
    std::uint64_t step_;
    SerialFormat format_;
};

} // namespace kw::cli
