#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kw {

// The value of `key` in `section` of an INI file, read the way the settings writer writes
// it: names match case-insensitively, the first section of the name and its first line of
// the key count, and blanks around the value are dropped. Nothing when the file, section or
// key is missing, or when the file is not a regular file (a FIFO or a device is never
// opened for reading in a way that could block) or is too large to be a settings file.
std::optional<std::string> readProfileString(const std::filesystem::path& file,
                                             std::string_view section,
                                             std::string_view key) noexcept;

} // namespace kw
