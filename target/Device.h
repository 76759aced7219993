#pragma once

#include <optional>
#include <string_view>

namespace kw {

// Flash size text for a chip name, compared exactly; nullopt for any other text.
// The device row spells the chips "STM8SF103F2"/"STM8SF103F3", the offline tab
// "STM8S103F2"/"STM8S103F3"; each box passes its own two names.
struct DeviceNames {
    std::string_view small; // 4096 bytes of flash
    std::string_view large; // 8192 bytes of flash
};

inline constexpr DeviceNames kDeviceRowNames{"STM8SF103F2", "STM8SF103F3"};
inline constexpr DeviceNames kOfflineTabNames{"STM8S103F2", "STM8S103F3"};
inline constexpr std::string_view kSmallFlashText = "4096";
inline constexpr std::string_view kLargeFlashText = "8192";

inline std::optional<std::string_view> flashSizeTextFor(std::string_view chip,
                                                        const DeviceNames& names) noexcept {
    if (chip == names.small)
        return kSmallFlashText;
    if (chip == names.large)
        return kLargeFlashText;
    return std::nullopt;
}

} // namespace kw
