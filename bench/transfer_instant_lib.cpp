// A programmer library that does nothing and reports success at once.
#include <cstdint>

#include "programmer/Exports.h"

KW_EXPORT kw::ResultCode KW_STDCALL SetFlashData(std::int32_t, std::uint8_t*) {
    return 0;
}

KW_EXPORT kw::ResultCode KW_STDCALL GetFlashData(std::int32_t offset, std::uint8_t* block) {
    for (int k = 0; k < 32; ++k)
        block[k] = static_cast<std::uint8_t>(offset + k);
    return 0;
}
