#include "kwflash/SerialNumbers.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "image/Crc32.h"
#include "settings/AtomicFile.h"

namespace kw::cli {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kStateLimit = 1 << 20; // far more than any real state file

std::uint64_t power10(int digits) {
    std::uint64_t value = 1;
    for (int i = 0; i < digits; ++i)
        value *= 10;
    return value;
}

std::string errnoText() {
    return std::generic_category().message(errno);
}

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

} // namespace

std::uint64_t SerialFormat::largest() const noexcept {
    switch (kind) {
    case Kind::Le32:
    case Kind::Be32:
        return 0xFFFFFFFFu;
    case Kind::Bcd:
        return 99999999u;
    case Kind::Ascii:
        break;
    }
    return power10(width) - 1;
}

std::string SerialFormat::name() const {
    switch (kind) {
    case Kind::Le32:
        return "le32";
    case Kind::Be32:
        return "be32";
    case Kind::Bcd:
        return "bcd";
    case Kind::Ascii:
        break;
    }
    return "ascii:" + std::to_string(width);
}

std::optional<SerialFormat> parseSerialFormat(std::string_view text) {
    using Kind = SerialFormat::Kind;
    if (text == "le32")
        return SerialFormat{Kind::Le32, 4};
    if (text == "be32")
        return SerialFormat{Kind::Be32, 4};
    if (text == "bcd")
        return SerialFormat{Kind::Bcd, 4};
    if (text.starts_with("ascii:")) {
        const auto width = number(text.substr(6));
        // 19 digits is the most a 64-bit number always fills.
        if (width && *width >= 1 && *width <= 19)
            return SerialFormat{Kind::Ascii, static_cast<int>(*width)};
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> encodeSerial(std::uint64_t value,
                                                      const SerialFormat& format) {
    if (value > format.largest())
        return std::nullopt;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(format.width));
    switch (format.kind) {
    case SerialFormat::Kind::Le32:
        for (std::size_t i = 0; i < 4; ++i)
            bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
        break;
    case SerialFormat::Kind::Be32:
        for (std::size_t i = 0; i < 4; ++i)
            bytes[3 - i] = static_cast<std::uint8_t>(value >> (8 * i));
        break;
    case SerialFormat::Kind::Bcd:
        for (std::size_t i = 0; i < 4; ++i) {
            const auto pair = static_cast<std::uint8_t>(value % 100);
            value /= 100;
            bytes[3 - i] = static_cast<std::uint8_t>((pair / 10) << 4 | pair % 10);
        }
        break;
    case SerialFormat::Kind::Ascii:
        for (std::size_t i = bytes.size(); i-- > 0;) {
            bytes[i] = static_cast<std::uint8_t>('0' + value % 10);
            value /= 10;
        }
        break;
    }
    return bytes;
}

std::optional<std::uint64_t> parseSerialNumber(std::string_view text) noexcept {
    if (text.size() > 2 && (text.starts_with("0x") || text.starts_with("0X"))) {
        std::uint64_t value = 0;
        const char* first = text.data() + 2;
        const char* last = text.data() + text.size();
        const auto [end, ec] = std::from_chars(first, last, value, 16);
        if (ec != std::errc{} || end != last)
            return std::nullopt;
        return value;
    }
    return number(text);
}

fs::path defaultSerialState(const fs::path& image) {
    fs::path folder;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/')
        folder = state;
    else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        folder = fs::path(home) / ".local" / "state";
    else
        throw SerialStateError("no state folder for serial numbers (neither XDG_STATE_HOME nor "
                               "HOME is set): name one with --serial-state");
    std::error_code ec;
    fs::path absolute = fs::weakly_canonical(fs::absolute(image, ec), ec);
    if (ec)
        absolute = image;
    const std::string path = absolute.string();
    const std::uint32_t hash =
        crc32(std::span(reinterpret_cast<const std::uint8_t*>(path.data()), path.size()));
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%08x", hash);
    return folder / "kaliwire" / "serials" / (image.filename().string() + suffix + ".state");
}

// Holds an exclusive flock on FILE.lock. flock belongs to the open file description, so two
// threads of one process, each with its own, exclude each other too. The state file itself
// cannot carry the lock: every step replaces it with a new file.
class SerialState::Lock {
public:
    explicit Lock(const fs::path& state) {
        std::error_code ec;
        if (state.has_parent_path())
            fs::create_directories(state.parent_path(), ec);
        const fs::path name = state.string() + ".lock";
        fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0)
            throw SerialStateError("cannot open \"" + name.string() + "\": " + errnoText());
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno == EINTR)
                continue;
            const std::string why = errnoText();
            ::close(fd_);
            throw SerialStateError("cannot lock \"" + name.string() + "\": " + why);
        }
    }
    ~Lock() { ::close(fd_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    int fd_ = -1;
};

SerialState::SerialState(fs::path file, std::uint64_t start, std::uint64_t step,
                         SerialFormat format)
    : file_(std::move(file)), start_(start), step_(step), format_(format) {}

// Read afresh each time: a forked child is another owner.
SerialState::Owner SerialState::self() {
    const Owner owner = [] {
        Owner me;
        me.pid = ::getpid();
        std::ifstream stat("/proc/self/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // Field 22, counted after the command name, which may hold blanks and parentheses.
        if (const auto close = text.rfind(')'); close != std::string::npos) {
            std::istringstream fields(text.substr(close + 2));
            std::string field;
            for (int i = 3; i <= 22 && fields >> field; ++i)
                if (i == 22)
                    me.started = std::strtoull(field.c_str(), nullptr, 10);
        }
        return me;
    }();
    return owner;
}

bool SerialState::alive(const Owner& owner) {
    std::ifstream stat("/proc/" + std::to_string(owner.pid) + "/stat");
    if (!stat)
        return false;
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    std::string state;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 3)
            state = field;
        if (i == 22)
            return state != "Z" && std::strtoull(field.c_str(), nullptr, 10) == owner.started;
    }
    return false;
}

SerialState::Content SerialState::read() const {
    Content content;
    content.next = start_;
    const FileContent file = readRegularFile(file_, kStateLimit);
    if (file.status == FileContent::Status::Absent)
        return content;
    const std::string where = "serial state \"" + file_.string() + "\"";
    if (file.status != FileContent::Status::Read || !file.whole)
        throw SerialStateError("cannot read the " + where);
    std::istringstream lines(file.bytes);
    std::string line;
    bool sawNext = false;
    for (int lineNumber = 1; std::getline(lines, line); ++lineNumber) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string key;
        std::string value;
        words >> key >> value;
        const auto n = number(value);
        const auto bad = [&] {
            return SerialStateError("the " + where + " is damaged at line " +
                                    std::to_string(lineNumber) +
                                    ": kwflash will not guess which numbers are free");
        };
        if (!n)
            throw bad();
        if (key == "next") {
            content.next = *n;
            sawNext = true;
        } else if (key == "free") {
            content.free.push_back(*n);
        } else if (key == "skipped") {
            content.skipped.push_back(*n);
        } else if (key == "in-use") {
            InUse entry{*n, {}};
            std::string pid;
            std::string started;
            words >> pid >> started;
            const auto p = number(pid);
            const auto s = number(started);
            if (!p || !s)
                throw bad();
            entry.owner = {static_cast<long>(*p), static_cast<unsigned long long>(*s)};
            content.inUse.push_back(entry);
        } else {
            throw bad();
        }
    }
    if (!sawNext)
        throw SerialStateError("the " + where + " has no \"next\" line");
    return content;
}

void SerialState::write(const Content& content) const {
    std::string text = "# kwflash serial numbers: next is the lowest never given; a free one "
                       "goes first;\n# in-use: NUMBER PID START, skipped: never given again\n";
    text += "next " + std::to_string(content.next) + "\n";
    for (const std::uint64_t n : content.free)
        text += "free " + std::to_string(n) + "\n";
    for (const InUse& entry : content.inUse)
        text += "in-use " + std::to_string(entry.number) + " " + std::to_string(entry.owner.pid) +
                " " + std::to_string(entry.owner.started) + "\n";
    for (const std::uint64_t n : content.skipped)
        text += "skipped " + std::to_string(n) + "\n";
    // Synced, file and folder: a number recorded in use must still be recorded after a
    // power loss, or it could go to a second board.
    if (!replaceFileAtomically(file_, text))
        throw SerialStateError("cannot write the serial state \"" + file_.string() + "\"");
}

std::uint64_t SerialState::peek() {
    const Lock lock(file_);
    const Content content = read();
    if (!content.free.empty())
        return *std::min_element(content.free.begin(), content.free.end());
    return content.next;
}

SerialState::Taken SerialState::take() {
    const Lock lock(file_);
    Content content = read();
    Taken taken;
    std::erase_if(content.inUse, [&](const InUse& entry) {
        if (entry.owner == self() || alive(entry.owner))
            return false;
        taken.skipped.push_back(entry.number);
        content.skipped.push_back(entry.number);
        return true;
    });
    if (!content.free.empty()) {
        const auto lowest = std::min_element(content.free.begin(), content.free.end());
        taken.number = *lowest;
        content.free.erase(lowest);
    } else {
        taken.number = content.next;
        if (taken.number > format_.largest() || format_.largest() - taken.number < step_)
            content.next = format_.largest() + 1;
        else
            content.next = taken.number + step_;
    }
    if (taken.number > format_.largest())
        throw SerialStateError("serial number " + std::to_string(taken.number) + " does not fit " +
                               format_.name() + " (largest " + std::to_string(format_.largest()) +
                               ")");
    content.inUse.push_back({taken.number, self()});
    write(content);
    return taken;
}

void SerialState::finish(std::uint64_t number, bool used) {
    const Lock lock(file_);
    Content content = read();
    std::erase_if(content.inUse, [&](const InUse& entry) {
        return entry.number == number && entry.owner == self();
    });
    if (!used)
        content.free.push_back(number);
    write(content);
}

void SerialState::done(std::uint64_t number) {
    finish(number, true);
}

void SerialState::giveBack(std::uint64_t number) {
    finish(number, false);
}

} // namespace kw::cli
