#include "settings/ToolSettings.h"

#include "image/IntConv.h"
#include "settings/ProfileReader.h"

namespace kw::settings {

std::optional<int> swimClockModeIn(const std::filesystem::path& folder) {
    const auto value = readProfileString(folder / kFileName, kSection, kSwimClock);
    return value ? tryStrToInt(*value) : std::nullopt;
}

} // namespace kw::settings
