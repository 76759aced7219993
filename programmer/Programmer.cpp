#include "programmer/Programmer.h"

#include <cstring>

namespace kw {

std::string signalName(int signal) {
#ifdef _WIN32
    (void)signal;
    return {};
#else
    const char* name = ::strsignal(signal);
    if (name == nullptr)
        return {};
    // glibc's text for a number it does not know is not a name.
    const std::string text = name;
    return text.rfind("Unknown signal", 0) == 0 ? std::string() : text;
#endif
}

} // namespace kw
