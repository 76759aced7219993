// TOLVANEX.dll for ST-LINK probes: programs an STM8S103 over SWIM through libusb-1.0: flash,
// EEPROM and option bytes.
#include <string>
#include <type_traits>

#include "programmer/Exports.h"
#include "stlink/Session.h"

namespace {

// A transfer ends at EndTransfer (or its last block, or a failure). For a host without
// EndTransfer the cleanup of a transfer it abandoned runs when it unloads the library: the
// session then relocks the flash, lets the chip run and releases the probe.
kw::stlink::Programmer& programmer() {
    static kw::stlink::Programmer instance(kw::stlink::makeLibusbPort);
    return instance;
}

} // namespace

KW_EXPORT kw::ResultCode KW_STDCALL SetFlashData(std::int32_t offset, std::uint8_t* block) {
    try {
        return programmer().setFlashData(offset, block);
    } catch (...) {
        return programmer().internalFault();
    }
}

KW_EXPORT kw::ResultCode KW_STDCALL GetFlashData(std::int32_t offset, std::uint8_t* block) {
    try {
        return programmer().getFlashData(offset, block);
    } catch (...) {
        return programmer().internalFault();
    }
}

KW_EXPORT int KW_STDCALL GetErrorText(int code, char* buffer, int size) {
    return programmer().errorText(code, buffer, size);
}

KW_EXPORT int KW_STDCALL SetProgrammerOption(const char* name, const char* value) {
    try {
        return programmer().setOption(name, value) ? 0 : 1;
    } catch (...) {
        return 1;
    }
}

KW_EXPORT kw::ResultCode KW_STDCALL GetProgrammerReport(const char* topic, char* buffer, int size,
                                                        int* length) {
    std::string text;
    kw::ResultCode code = kw::stlink::kInternalFault;
    try {
        code = programmer().report(topic, text);
    } catch (...) {
        code = programmer().internalFault();
        text =
            kw::stlink::textOf(kw::stlink::Reason::InternalFault, programmer().settings().language);
    }
    const int whole = kw::stlink::copyTextCut(text.c_str(), buffer, size);
    if (length != nullptr)
        *length = whole;
    return code;
}

KW_EXPORT void KW_STDCALL EndTransfer() {
    programmer().end();
}

KW_EXPORT kw::ResultCode KW_STDCALL SetEepromData(std::int32_t offset, std::uint8_t* block) {
    try {
        return programmer().setEepromData(offset, block);
    } catch (...) {
        return programmer().internalFault();
    }
}

KW_EXPORT kw::ResultCode KW_STDCALL GetEepromData(std::int32_t offset, std::uint8_t* block) {
    try {
        return programmer().getEepromData(offset, block);
    } catch (...) {
        return programmer().internalFault();
    }
}

KW_EXPORT kw::ResultCode KW_STDCALL GetOptionBytes(std::uint8_t* buffer, std::int32_t size) {
    try {
        return programmer().getOptionBytes(buffer, size);
    } catch (...) {
        return programmer().internalFault();
    }
}

KW_EXPORT kw::ResultCode KW_STDCALL SetOptionByte(std::int32_t index, std::uint8_t value) {
    try {
        return programmer().setOptionByte(index, value);
    } catch (...) {
        return programmer().internalFault();
    }
}

KW_EXPORT kw::ResultCode KW_STDCALL RemoveReadoutProtection() {
    try {
        return programmer().removeReadoutProtection();
    } catch (...) {
        return programmer().internalFault();
    }
}

// Each block waits for its own end of programming before the next may touch the chip.
KW_EXPORT int KW_STDCALL NeedsBlockPauses() {
    return 0;
}

static_assert(std::is_same_v<decltype(&SetFlashData), kw::BlockFunction> &&
              std::is_same_v<decltype(&GetFlashData), kw::BlockFunction> &&
              std::is_same_v<decltype(&GetErrorText), kw::ErrorTextFunction> &&
              std::is_same_v<decltype(&SetProgrammerOption), kw::ProgrammerOptionFunction> &&
              std::is_same_v<decltype(&GetProgrammerReport), kw::ProgrammerReportFunction> &&
              std::is_same_v<decltype(&EndTransfer), kw::EndTransferFunction> &&
              std::is_same_v<decltype(&SetEepromData), kw::EepromBlockFunction> &&
              std::is_same_v<decltype(&GetEepromData), kw::EepromBlockFunction> &&
              std::is_same_v<decltype(&GetOptionBytes), kw::OptionBytesReadFunction> &&
              std::is_same_v<decltype(&SetOptionByte), kw::OptionByteWriteFunction> &&
              std::is_same_v<decltype(&RemoveReadoutProtection), kw::RemoveProtectionFunction> &&
              std::is_same_v<decltype(&NeedsBlockPauses), kw::BlockPausesFunction>);
