#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

// How the settings writer and reader see an INI file, the way Windows' private-profile
// functions do: sections and keys match case-insensitively, only the first section of a
// name counts, and in it the first line of a key.
namespace kw::profile {

// Far more than any settings file holds. A larger file is not a settings file: it is neither
// read nor rewritten.
inline constexpr std::size_t kLargestFile = std::size_t{1} << 20;

// One line of a file as offsets into its text; the text excludes the line break.
struct Line {
    std::size_t begin = 0;
    std::size_t textLength = 0;
    std::size_t breakLength = 0; // 0 (last line without a break), 1 (LF) or 2 (CR LF)

    std::size_t end() const { return begin + textLength + breakLength; }
};

// Lines end at LF or CR LF. A lone CR is part of the line; the name matching trims it like
// any other blank, so it never hides a key.
std::vector<Line> splitLines(std::string_view content);

// The text of line `i`, without a UTF-8 byte order mark at the start of the file.
std::string_view lineText(std::string_view content, const std::vector<Line>& lines, std::size_t i);

bool isBlank(char c);
std::string_view trim(std::string_view s);
bool equalsIgnoreCase(std::string_view a, std::string_view b);

// "[name]" with blanks allowed around the line and inside the brackets. The name runs to the
// last ']' on the line, as Windows reads it. A '[' without any ']' is not a header.
std::optional<std::string_view> sectionName(std::string_view text);

// "name=value" with blanks allowed around the name. Lines without '=' are not keys.
std::optional<std::string_view> keyName(std::string_view text);

// Where a key stands in a file; indexes into the lines.
struct KeyPlace {
    std::optional<std::size_t> header; // the section's header line, if the section exists
    std::optional<std::size_t> key;    // the key's line in that section, if it is there
    std::size_t lastContent = 0;       // the section's last non-blank line (the header at least)
};
KeyPlace findKey(std::string_view content, const std::vector<Line>& lines, std::string_view section,
                 std::string_view key);

} // namespace kw::profile
