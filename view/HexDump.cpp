#include "view/HexDump.h"

namespace kw::hexdump {

std::string rowLabel(int row) {
    unsigned value = static_cast<unsigned>(row - 1);
    char digits[8];
    int count = 0;
    do {
        digits[count++] = kHexDigits[value & 0x0F];
        value >>= 4;
    } while (value != 0 && count < 8);
    while (count < 3)
        digits[count++] = '0';
    std::string label = "0x";
    for (int i = count - 1; i >= 0; --i)
        label.push_back(digits[i]);
    label += "0H";
    return label;
}

} // namespace kw::hexdump
