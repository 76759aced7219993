#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kw::cli {

// What became of one board, as the result log and --json give it.
struct BoardRecord {
    std::string time; // ISO 8601 UTC, milliseconds
    std::string probeSerial;
    std::string probePort;
    std::string chip;
    std::vector<std::pair<std::string, std::uint32_t>> crc32; // per area, of the image
    std::optional<std::uint64_t> serial;
    std::vector<std::uint64_t> skippedSerials; // retired after a crash, found for this board
    bool passed = false;
    int code = 0;                 // kwflash's exit code for this board
    std::string message;          // kwflash's line for a failure
    std::int32_t libraryCode = 0; // the library's result code for a failed block
    std::string libraryText;
    double seconds = 0;
};

// One JSON object on one line, ending in '\n'. Empty probe fields are null.
std::string toJsonLine(const BoardRecord& record);

// `text` as a JSON string, quotes included: control characters as \u00XX, bytes that are not
// UTF-8 as U+FFFD, so that any library text gives valid JSON.
std::string jsonString(std::string_view text);

// The time now, as 2026-12-09T06:01:02.345Z.
std::string utcNow();

class ResultLogError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The file records are appended to. Each record is one write() on an O_APPEND descriptor,
// then fsync: boards programmed by several threads or processes into one log never
// interleave, and a record is on the disk before the next board starts.
class ResultLog {
public:
    // Throws ResultLogError when the file cannot be opened for appending.
    explicit ResultLog(const std::filesystem::path& file);
    ~ResultLog();
    ResultLog(const ResultLog&) = delete;
    ResultLog& operator=(const ResultLog&) = delete;

    // Throws ResultLogError when the line did not reach the disk whole.
    void append(std::string_view line);

private:
    std::filesystem::path file_;
    int fd_ = -1;
};

} // namespace kw::cli
