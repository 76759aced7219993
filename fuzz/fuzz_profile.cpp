// Settings writes into arbitrary existing files. The input is
//     <existing file content> NUL <key> NUL <value>
// split at its last two NUL bytes; an input with fewer NULs is all file content, written
// with a fixed key and value. The section is always "System", as in the tool.
//
// Checked for every input:
// - a refused write leaves the file as it was; a plain key and value are never refused;
// - an accepted write never lets a line break or '=' reshape the file;
// - the result equals a straightforward line-by-line edit of the old text, so every line
//   outside the edited one keeps its bytes;
// - reading the file back finds the key with exactly the value written;
// - writing the same again changes nothing, and no temporary file is ever left behind.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "settings/ProfileWriter.h"

namespace {

constexpr std::string_view kSection = "System";

struct Line {
    std::string_view text; // without the break
    std::string_view brk;  // "", "\n" or "\r\n"
    std::size_t end = 0;   // offset just past the break
};

std::vector<Line> lines(std::string_view s) {
    std::vector<Line> out;
    std::size_t pos = 0;
    while (pos < s.size()) {
        const std::size_t lf = s.find('\n', pos);
        Line line;
        if (lf == std::string_view::npos) {
            line.text = s.substr(pos);
            line.end = s.size();
        } else {
            const std::size_t textEnd = (lf > pos && s[lf - 1] == '\r') ? lf - 1 : lf;
            line.text = s.substr(pos, textEnd - pos);
            line.brk = s.substr(textEnd, lf + 1 - textEnd);
            line.end = lf + 1;
        }
        out.push_back(line);
        pos = line.end;
    }
    return out;
}

std::string_view trimmed(std::string_view s) {
    constexpr std::string_view blanks = " \t\r\v\f";
    const std::size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view headerText(const std::vector<Line>& ls, std::size_t i) {
    std::string_view t = ls[i].text;
    if (i == 0 && t.substr(0, 3) == "\xEF\xBB\xBF") {
        t.remove_prefix(3);
    }
    return t;
}

std::optional<std::string_view> sectionOf(std::string_view text) {
    text = trimmed(text);
    const std::size_t close = text.rfind(']');
    if (text.empty() || text[0] != '[' || close == std::string_view::npos) {
        return std::nullopt;
    }
    return trimmed(text.substr(1, close - 1));
}

std::optional<std::string_view> keyOf(std::string_view text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        return std::nullopt;
    }
    return trimmed(text.substr(0, eq));
}

// Where the first "System" section starts and ends (header index, one past its last line).
struct Section {
    std::size_t header, end;
};

std::optional<Section> findSection(const std::vector<Line>& ls) {
    for (std::size_t h = 0; h < ls.size(); ++h) {
        const auto name = sectionOf(headerText(ls, h));
        if (name && sameIgnoringCase(*name, kSection)) {
            std::size_t e = h + 1;
            while (e < ls.size() && !sectionOf(ls[e].text)) {
                ++e;
            }
            return Section{h, e};
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> findKey(const std::vector<Line>& ls, Section s, std::string_view key) {
    for (std::size_t i = s.header + 1; i < s.end; ++i) {
        const auto name = keyOf(ls[i].text);
        if (name && sameIgnoringCase(*name, key)) {
            return i;
        }
    }
    return std::nullopt;
}

std::string expectedEdit(std::string_view old, std::string_view key, std::string_view value) {
    const std::vector<Line> ls = lines(old);
    std::string_view style = "\n";
    for (const Line& l : ls) {
        if (!l.brk.empty()) {
            style = l.brk;
            break;
        }
    }
    const bool open = !ls.empty() && ls.back().brk.empty();
    const std::string keyLine = std::string(key) + "=" + std::string(value);
    std::string out(old);

    const auto section = findSection(ls);
    if (!section) {
        if (open) {
            out += style;
        }
        out += "[" + std::string(kSection) + "]" + std::string(style) + keyLine;
        if (!open) {
            out += style;
        }
        return out;
    }
    if (const auto at = findKey(ls, *section, key)) {
        const Line& l = ls[*at];
        const std::size_t begin = static_cast<std::size_t>(l.text.data() - old.data());
        return out.replace(begin, l.text.size(), keyLine);
    }
    std::size_t after = section->header;
    for (std::size_t i = section->header + 1; i < section->end; ++i) {
        if (!trimmed(ls[i].text).empty()) {
            after = i;
        }
    }
    if (ls[after].brk.empty()) {
        return out + std::string(style) + keyLine;
    }
    return out.insert(ls[after].end, keyLine + std::string(style));
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void expectOnlyFile(const std::filesystem::path& dir) {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        ++count;
    }
    if (count != 1) {
        kwfuzz::fail("a temporary file was left behind");
    }
}

bool plain(std::string_view key, std::string_view value) {
    if (key.empty() || value.find_first_of("\r\n") != std::string_view::npos) {
        return false;
    }
    for (char c : key) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view content = input;
    std::string_view key = "lastopenhex";
    std::string_view value = "/home/user/firmware.hex";
    const std::size_t last = input.rfind('\0');
    if (last != std::string_view::npos && last > 0) {
        const std::size_t previous = input.rfind('\0', last - 1);
        if (previous != std::string_view::npos) {
            content = input.substr(0, previous);
            key = input.substr(previous + 1, last - previous - 1);
            value = input.substr(last + 1);
        }
    }

    const std::filesystem::path& dir = kwfuzz::scratchDir();
    const std::filesystem::path file = dir / "TOLVANEX.INI";
    kwfuzz::writeFile(file, content.data(), content.size());

    const bool written = kw::writeProfileString(file, kSection, key, value);
    const std::string after = readFile(file);
    expectOnlyFile(dir);

    if (!written) {
        if (after != content) {
            kwfuzz::fail("a refused write changed the file");
        }
        if (plain(key, value)) {
            kwfuzz::fail("a plain key and value were refused");
        }
        return 0;
    }
    if (key.find_first_of("\r\n=") != std::string_view::npos ||
        value.find_first_of("\r\n") != std::string_view::npos) {
        kwfuzz::fail("a key or value that reshapes the file was written");
    }
    if (after != expectedEdit(content, key, value)) {
        kwfuzz::fail("the file is not the old text with the one key line edited");
    }

    const std::vector<Line> ls = lines(after);
    const auto section = findSection(ls);
    const auto at = section ? findKey(ls, *section, key) : std::nullopt;
    if (!at || ls[*at].text != std::string(key) + "=" + std::string(value)) {
        kwfuzz::fail("the key does not read back with its value");
    }

    if (!kw::writeProfileString(file, kSection, key, value) || readFile(file) != after) {
        kwfuzz::fail("writing the same key and value again changed the file");
    }
    expectOnlyFile(dir);
    return 0;
}
