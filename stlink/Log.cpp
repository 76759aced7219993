#include "stlink/Log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace kw::stlink {

int logLevel() noexcept {
    static const int level = [] {
        const char* value = std::getenv("TOLVANEX_STLINK_LOG");
        if (value == nullptr || value[1] != '\0')
            return 0;
        return value[0] == '1' ? 1 : value[0] == '2' ? 2 : 0;
    }();
    return level;
}

void logLine(int level, const char* format, ...) noexcept {
    if (logLevel() < level)
        return;
    // One write per line, so that lines of two threads never interleave.
    char line[512];
    int used = std::snprintf(line, sizeof line, "TOLVANEX.dll: ");
    va_list arguments;
    va_start(arguments, format);
    const int rest = std::vsnprintf(line + used, sizeof line - static_cast<std::size_t>(used) - 1,
                                    format, arguments);
    va_end(arguments);
    used = rest < 0 ? used : std::min<int>(used + rest, static_cast<int>(sizeof line) - 2);
    line[used] = '\n';
    std::fwrite(line, 1, static_cast<std::size_t>(used) + 1, stderr);
}

} // namespace kw::stlink
