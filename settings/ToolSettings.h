#pragma once

#include <filesystem>
#include <optional>

// The tool's settings file as the tool writes it and programmer libraries beside it read it.
namespace kw::settings {

inline constexpr const char* kFileName = "TOLVANEX.INI";
inline constexpr const char* kSection = "System";
inline constexpr const char* kLastOpenHex = "lastopenhex";
inline constexpr const char* kLastOpenBin = "lastopenbin";
inline constexpr const char* kSwimClock = "SWIMSCK"; // 0 low speed, 1 high speed

// The SWIM clock mode the tool recorded in the settings file in `folder`: nothing when there
// is no file, no key or a value that is not a number.
std::optional<int> swimClockModeIn(const std::filesystem::path& folder);

} // namespace kw::settings
