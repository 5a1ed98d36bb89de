#include "hex_bytes.h"

#include <cstdio>

namespace korvanel {

std::string HexBytes(const std::uint8_t* bytes, std::uint32_t count)
{
    std::string text;
    char cell[4];
    for (std::uint32_t i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
        text += cell;
    }
    return text;
}

} // namespace korvanel
