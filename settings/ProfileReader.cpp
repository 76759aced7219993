#include "settings/ProfileReader.h"

#include "settings/AtomicFile.h"
#include "settings/ProfileSyntax.h"

namespace kw {

std::optional<std::string> readProfileString(const std::filesystem::path& file,
                                             std::string_view section,
                                             std::string_view key) noexcept {
    try {
        const FileContent stored = readRegularFile(file, profile::kLargestFile);
        if (stored.status != FileContent::Status::Read || !stored.whole)
            return std::nullopt;
        const std::string_view content = stored.bytes;
        const auto lines = profile::splitLines(content);
        const auto place = profile::findKey(content, lines, section, key);
        if (!place.key)
            return std::nullopt;
        const std::string_view text = profile::lineText(content, lines, *place.key);
        return std::string(profile::trim(text.substr(text.find('=') + 1)));
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace kw
