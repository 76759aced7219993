#include "kwflash/ResultLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "kwflash/Progress.h"

namespace kw::cli {

namespace {

std::string hex32(std::uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

} // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        const std::size_t length = utf8Length(text);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            text.remove_prefix(1);
            continue;
        }
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", byte);
            out += escape;
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out + "\"";
}

std::string utcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[96]; // room for any int, as the compiler counts
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
}

std::string toJsonLine(const BoardRecord& r) {
    const auto orNull = [](const std::string& text) {
        return text.empty() ? std::string("null") : jsonString(text);
    };
    std::string line = "{\"time\":" + jsonString(r.time);
    line += ",\"probe\":{\"serial\":" + orNull(r.probeSerial) + ",\"port\":" + orNull(r.probePort) +
            "}";
    line += ",\"chip\":" + jsonString(r.chip);
    line += ",\"crc32\":{";
    for (std::size_t i = 0; i < r.crc32.size(); ++i)
        line += (i == 0 ? "" : ",") + jsonString(r.crc32[i].first) + ":" +
                jsonString(hex32(r.crc32[i].second));
    line += "}";
    line += ",\"serial\":" + (r.serial ? std::to_string(*r.serial) : std::string("null"));
    if (!r.skippedSerials.empty()) {
        line += ",\"skipped_serials\":[";
        for (std::size_t i = 0; i < r.skippedSerials.size(); ++i)
            line += (i == 0 ? "" : ",") + std::to_string(r.skippedSerials[i]);
        line += "]";
    }
    line += ",\"result\":" + jsonString(r.passed ? "PASS" : "FAIL");
    line += ",\"code\":" + std::to_string(r.code);
    line += ",\"message\":" + jsonString(r.message);
    line += ",\"library_code\":" + std::to_string(r.libraryCode);
    line += ",\"library_text\":" + jsonString(r.libraryText);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    line += ",\"seconds\":" + std::string(seconds) + "}\n";
    return line;
}

ResultLog::ResultLog(const std::filesystem::path& file) : file_(file) {
    fd_ = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd_ < 0)
        throw ResultLogError("cannot open the log \"" + file.string() +
                             "\": " + std::generic_category().message(errno));
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        throw ResultLogError("cannot use the log \"" + file.string() +
                             "\": it is not a regular file");
    }
    ::fcntl(fd_, F_SETFL, O_WRONLY | O_APPEND);
}

ResultLog::~ResultLog() {
    if (fd_ >= 0)
        ::close(fd_);
}

void ResultLog::append(std::string_view line) {
    ssize_t written = -1;
    do
        written = ::write(fd_, line.data(), line.size());
    while (written < 0 && errno == EINTR);
    const std::string where = "the log \"" + file_.string() + "\"";
    if (written < 0)
        throw ResultLogError("cannot write " + where + ": " +
                             std::generic_category().message(errno));
    // A line cut short is not retried: a second write could land after another writer's
    // record. The reader sees a line without its end, and kwflash says so.
    if (static_cast<std::size_t>(written) != line.size())
        throw ResultLogError("cannot write " + where + ": only " + std::to_string(written) +
                             " of " + std::to_string(line.size()) + " bytes (disk full?)");
    if (::fsync(fd_) != 0)
        throw ResultLogError("cannot sync " + where + ": " +
                             std::generic_category().message(errno));
}

} // namespace kw::cli
