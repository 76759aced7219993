#include "settings/ProfileWriter.h"

#include <cstddef>
#include <string>
#include <vector>

#include "settings/AtomicFile.h"
#include "settings/ProfileSyntax.h"

namespace kw {
namespace {

using namespace profile;

#ifdef _WIN32
constexpr std::string_view kPlatformBreak = "\r\n";
#else
constexpr std::string_view kPlatformBreak = "\n";
#endif

bool hasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// Names that would change the file's structure, or read back differently than written, are
// refused rather than written: a line break would inject lines, '=' in a key would split it,
// a leading '[' or ';' turns the line into a header or a comment for other readers, and
// blanks at the ends would be trimmed away when matching.
bool validSection(std::string_view s) {
    return !s.empty() && trim(s) == s && !hasLineBreak(s) &&
           s.find_first_of(std::string_view("]\0", 2)) == std::string_view::npos;
}

bool validKey(std::string_view k) {
    return !k.empty() && trim(k) == k && !hasLineBreak(k) && k.front() != '[' && k.front() != ';' &&
           k.find_first_of(std::string_view("=\0", 2)) == std::string_view::npos;
}

bool validValue(std::string_view v) {
    return !hasLineBreak(v);
}

// The new file text: the one key line replaced or added, every other byte as it was.
std::string editProfile(std::string_view content, std::string_view section, std::string_view key,
                        std::string_view value) {
    const std::vector<Line> lines = splitLines(content);

    // New lines follow the file's own break style; an empty file takes the platform's.
    std::string_view lineBreak = kPlatformBreak;
    for (const Line& line : lines) {
        if (line.breakLength != 0) {
            lineBreak = content.substr(line.begin + line.textLength, line.breakLength);
            break;
        }
    }
    // A file whose last line has no break keeps ending that way.
    const bool endsOpen = !lines.empty() && lines.back().breakLength == 0;

    std::string keyLine;
    keyLine.reserve(key.size() + 1 + value.size());
    keyLine.append(key).append("=").append(value);

    std::string out;
    out.reserve(content.size() + keyLine.size() + section.size() + 8);

    const KeyPlace place = findKey(content, lines, section, key);
    if (!place.header) {
        out.append(content);
        if (endsOpen) {
            out.append(lineBreak);
        }
        out.append("[").append(section).append("]").append(lineBreak).append(keyLine);
        if (!endsOpen) {
            out.append(lineBreak);
        }
        return out;
    }

    if (place.key) {
        const Line& line = lines[*place.key];
        out.append(content.substr(0, line.begin)).append(keyLine);
        out.append(content.substr(line.begin + line.textLength));
        return out;
    }

    // A new key goes after the section's last non-blank line, so blank lines that separate
    // it from the next section stay where they are.
    const Line& after = lines[place.lastContent];
    if (after.breakLength == 0) {
        out.append(content).append(lineBreak).append(keyLine);
    } else {
        out.append(content.substr(0, after.end())).append(keyLine).append(lineBreak);
        out.append(content.substr(after.end()));
    }
    return out;
}

bool writeProfileFile(const std::filesystem::path& file, std::string_view section,
                      std::string_view key, std::string_view value) {
    if (file.empty() || !validSection(section) || !validKey(key) || !validValue(value)) {
        return false;
    }
    // Only a regular file is edited: a FIFO or device is never opened in a way that blocks,
    // and a file too large to be settings is not read into memory to be rewritten.
    const FileContent existing = readRegularFile(file, kLargestFile);
    if (existing.status != FileContent::Status::Absent &&
        (existing.status != FileContent::Status::Read || !existing.whole)) {
        return false;
    }
    return replaceFileAtomically(file, editProfile(existing.bytes, section, key, value));
}

} // namespace

bool writeProfileString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value) noexcept {
    try {
        return writeProfileFile(file, section, key, value);
    } catch (...) {
        return false;
    }
}

} // namespace kw
