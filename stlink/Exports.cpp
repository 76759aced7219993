// TOLVANEX.dll for ST-LINK probes: programs an STM8S103 over SWIM through libusb-1.0.
#include <type_traits>

#include "programmer/Exports.h"
#include "programmer/ModuleFolder.h"
#include "settings/ToolSettings.h"
#include "stlink/Session.h"

namespace {

// SWIMSCK in the tool's settings file beside this library: 0 low speed; 1, no file or no key
// high speed where the chip allows it.
kw::stlink::Settings readSettings() {
    kw::stlink::Settings settings;
    if (kw::settings::swimClockModeIn(kw::thisModuleFolder()) == 0)
        settings.highSpeed = false;
    return settings;
}

// Destroyed when the tool unloads the library: the session's cleanup relocks the flash, lets
// the chip run and releases the probe.
kw::stlink::Programmer& programmer() {
    static kw::stlink::Programmer instance(kw::stlink::makeLibusbPort, readSettings);
    return instance;
}

} // namespace

KW_EXPORT kw::ResultCode KW_STDCALL SetFlashData(std::int32_t offset, std::uint8_t* block) {
    try {
        return programmer().setFlashData(offset, block);
    } catch (...) {
        return kw::stlink::kProbeLost;
    }
}

KW_EXPORT kw::ResultCode KW_STDCALL GetFlashData(std::int32_t offset, std::uint8_t* block) {
    try {
        return programmer().getFlashData(offset, block);
    } catch (...) {
        return kw::stlink::kProbeLost;
    }
}

KW_EXPORT int KW_STDCALL GetErrorText(int code, char* buffer, int size) {
    return programmer().errorText(code, buffer, size);
}

static_assert(std::is_same_v<decltype(&SetFlashData), kw::BlockFunction> &&
              std::is_same_v<decltype(&GetFlashData), kw::BlockFunction> &&
              std::is_same_v<decltype(&GetErrorText), kw::ErrorTextFunction>);
