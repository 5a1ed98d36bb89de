// Frames in logs and traces: "01 06 00 4A 00 00 A8 1C".
#pragma once

#include <cstdint>
#include <string>

namespace korvanel {

std::string HexBytes(const std::uint8_t* bytes, std::uint32_t count);

} // namespace korvanel
