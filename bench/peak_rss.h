#pragma once

#include <fstream>
#include <string>

namespace kw::bench {

// VmHWM: the peak resident set of this process image only, unlike a parent's rusage, which
// would also count the parent's pages held before exec. -1 where the system does not say.
inline long long peakRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stoll(line.substr(6));
    return -1;
}

} // namespace kw::bench
