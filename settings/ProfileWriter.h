#pragma once

#include <filesystem>
#include <string_view>

namespace kw {

// Writes `key=value` into `section` of an INI file the way Windows' private-profile writer
// does: section and key names match case-insensitively; an existing key's line is replaced
// in place; a missing key is added at the end of its section; a missing section is appended
// at the end of the file; every other line is kept byte for byte. The file is replaced with
// replaceFileAtomically (AtomicFile.h). New lines take the file's own line break. Names or
// values that would change the file's structure (line breaks, '=' or a leading '[' or ';' in
// a key, ']' in a section, empty names) are refused, and so is a file that is not a regular
// file (a FIFO, a device, a folder, or a link to one) or too large to be a settings file.
// Returns false when the write failed or was refused; the file is then unchanged.
bool writeProfileString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value) noexcept;

} // namespace kw
