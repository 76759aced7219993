#pragma once

#include <filesystem>

namespace kw {

// The folder of the executable or shared library that this code was linked into. A
// programmer library links it to find the tool's settings file beside itself. Empty when
// the system cannot tell.
std::filesystem::path thisModuleFolder();

} // namespace kw
