#pragma once

#include <filesystem>
#include <string>

namespace kw {

// The whole content of a file. Throws IoError naming the file and the system's reason.
std::string readWholeFile(const std::filesystem::path& file);

} // namespace kw
