#include "settings/ProfileSyntax.h"

namespace kw::profile {

namespace {
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
} // namespace

std::vector<Line> splitLines(std::string_view content) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t lf = content.find('\n', pos);
        Line line{pos, 0, 0};
        if (lf == std::string_view::npos) {
            line.textLength = content.size() - pos;
        } else {
            const bool crlf = lf > pos && content[lf - 1] == '\r';
            line.textLength = lf - pos - (crlf ? 1 : 0);
            line.breakLength = crlf ? 2 : 1;
        }
        lines.push_back(line);
        pos = line.end();
    }
    return lines;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

namespace {
char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

std::optional<std::string_view> sectionName(std::string_view text) {
    text = trim(text);
    if (text.empty() || text.front() != '[') {
        return std::nullopt;
    }
    const std::size_t close = text.rfind(']');
    if (close == std::string_view::npos || close == 0) {
        return std::nullopt;
    }
    return trim(text.substr(1, close - 1));
}

std::optional<std::string_view> keyName(std::string_view text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        return std::nullopt;
    }
    return trim(text.substr(0, eq));
}

std::string_view lineText(std::string_view content, const std::vector<Line>& lines, std::size_t i) {
    std::string_view text = content.substr(lines[i].begin, lines[i].textLength);
    if (i == 0 && text.starts_with(kUtf8Bom))
        text.remove_prefix(kUtf8Bom.size());
    return text;
}

KeyPlace findKey(std::string_view content, const std::vector<Line>& lines, std::string_view section,
                 std::string_view key) {
    KeyPlace place;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto name = sectionName(lineText(content, lines, i));
        if (name && equalsIgnoreCase(*name, section)) {
            place.header = i;
            break;
        }
    }
    if (!place.header)
        return place;
    place.lastContent = *place.header;
    for (std::size_t i = *place.header + 1;
         i < lines.size() && !sectionName(lineText(content, lines, i)); ++i) {
        const std::string_view text = lineText(content, lines, i);
        const auto name = keyName(text);
        if (name && equalsIgnoreCase(*name, key)) {
            place.key = i;
            return place;
        }
        if (!trim(text).empty())
            place.lastContent = i;
    }
    return place;
}

} // namespace kw::profile
