// The serial line's settings and the RTU timing that follows from them.
// The dialog always runs 9600 8N1; korvanel-clear may ask for others. The
// timing rules live here so the session, the simulator and the port agree.
#pragma once

#include <cstdint>
#include <string>

namespace korvanel {

// The speed every program starts from (the dialog never changes it).
constexpr std::uint32_t DEFAULT_BAUD = 9600;

// The rates inverters and RS-485 adapters offer, slowest first; every
// platform's port can set each of them.
constexpr std::uint32_t STANDARD_BAUD_RATES[] = {1200,  2400,  4800,  9600,
                                                 19200, 38400, 57600, 115200};

constexpr bool IsStandardBaud(std::uint32_t baud)
{
    for (const std::uint32_t rate : STANDARD_BAUD_RATES) {
        if (rate == baud)
            return true;
    }
    return false;
}

struct LineSettings {
    enum class Parity : std::uint8_t { None, Even, Odd };

    std::uint32_t baud = DEFAULT_BAUD;
    Parity parity = Parity::None;
    // 1 or 2. RTU always has 8 data bits.
    std::uint8_t stopBits = 1;

    // "9600 8N1", "19200 8E1": how technicians and device manuals write it.
    std::string text() const
    {
        const char parityLetter = parity == Parity::Even ? 'E' : parity == Parity::Odd ? 'O' : 'N';
        return std::to_string(baud) + " 8" + parityLetter + std::to_string(stopBits);
    }
    bool operator==(const LineSettings& other) const
    {
        return baud == other.baud && parity == other.parity && stopBits == other.stopBits;
    }
    bool operator!=(const LineSettings& other) const { return !(*this == other); }
};

// One character on the wire: a start bit, 8 data bits, the parity bit if
// any and the stop bits. 8N1: 10 bits; 8E1, 8O1 and 8N2: 11.
constexpr std::uint32_t CharacterBits(const LineSettings& line)
{
    return 1 + 8 + (line.parity == LineSettings::Parity::None ? 0 : 1) + line.stopBits;
}

// The time of one character, rounded up. 9600 8N1: 10 bits -> 1042 us.
constexpr std::uint32_t CharacterTimeUs(const LineSettings& line)
{
    return (CharacterBits(line) * 1000000u + line.baud - 1) / line.baud;
}

// The same to the nanosecond, for a line paced byte by byte (the
// simulator's, up to a few megabits a second). 9600 8N1: 1041666 ns.
constexpr std::uint64_t CharacterTimeNs(const LineSettings& line)
{
    return CharacterBits(line) * 1000000000ull / line.baud;
}

// The silence that separates two RTU frames: 3.5 character times, but at
// most 1750 us above 19200 baud, where the standard fixes it so that fast
// lines need no sub-millisecond timers. 9600 8N1: 3.5 x 1042 us = 3.65 ms.
constexpr std::uint32_t FrameSilenceUs(const LineSettings& line)
{
    constexpr std::uint32_t fastLineSilenceUs = 1750;
    if (line.baud > 19200)
        return fastLineSilenceUs;
    return (CharacterTimeUs(line) * 7 + 1) / 2;
}

// The line time of `bytes` characters.
constexpr std::uint32_t LineTimeUs(const LineSettings& line, std::uint32_t bytes)
{
    return CharacterTimeUs(line) * bytes;
}

} // namespace korvanel
