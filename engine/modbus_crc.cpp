#include "modbus_crc.h"

#include <array>

#include "clear_run.h"

namespace korvanel {

namespace {

// The standard publishes two tables indexed by (message byte XOR running
// high byte): one gives the next high byte (before the old low byte is
// folded in), the other the next low byte. Both are the halves of the
// ordinary byte-wise table of the reflected polynomial 0xA001: its low byte
// is the "high" table, its high byte the "low" table, because the byte the
// algorithm calls high is the one sent first, the conventional low byte.
struct CrcTables {
    std::array<std::uint8_t, 256> high{};
    std::array<std::uint8_t, 256> low{};
};

constexpr CrcTables MakeTables()
{
    CrcTables t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        t.high[i] = static_cast<std::uint8_t>(crc & 0xFFu);
        t.low[i] = static_cast<std::uint8_t>(crc >> 8);
    }
    return t;
}

constexpr CrcTables CRC_TABLES = MakeTables();

// First entries as printed in the standard's tables.
static_assert(CRC_TABLES.high[0] == 0x00 && CRC_TABLES.high[1] == 0xC1 &&
              CRC_TABLES.high[2] == 0x81 && CRC_TABLES.high[3] == 0x40 &&
              CRC_TABLES.high[4] == 0x01 && CRC_TABLES.high[5] == 0xC0 &&
              CRC_TABLES.high[6] == 0x80 && CRC_TABLES.high[7] == 0x41);
static_assert(CRC_TABLES.low[0] == 0x00 && CRC_TABLES.low[1] == 0xC0 && CRC_TABLES.low[2] == 0xC1 &&
              CRC_TABLES.low[3] == 0x01 && CRC_TABLES.low[4] == 0xC3 && CRC_TABLES.low[5] == 0x03 &&
              CRC_TABLES.low[6] == 0x02 && CRC_TABLES.low[7] == 0xC2);

} // namespace

std::uint16_t ModbusCrc16Bytes(const std::uint8_t* bytes, std::size_t length)
{
    std::uint8_t hi = 0xFF;
    std::uint8_t lo = 0xFF;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t index = static_cast<std::uint8_t>(bytes[i] ^ hi);
        hi = static_cast<std::uint8_t>(CRC_TABLES.high[index] ^ lo);
        lo = CRC_TABLES.low[index];
    }
    return static_cast<std::uint16_t>(hi << 8 | lo);
}

bool HasValidCheck(const std::uint8_t* frame, std::size_t length)
{
    constexpr std::size_t shortestFrame = 4;
    if (length < shortestFrame)
        return false;
    const std::uint16_t crc = ModbusCrc16Bytes(frame, length - 2);
    return frame[length - 2] == (crc >> 8) && frame[length - 1] == (crc & 0xFFu);
}

void AppendCheck(std::vector<std::uint8_t>& frame)
{
    // The packed result holds the byte that goes first in its high half.
    const std::uint16_t crc = ModbusCrc16Bytes(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFFu));
}

std::uint16_t ModbusCrc16(const FrameBuffer& frame, std::uint8_t fromReceiveHalf,
                          std::uint8_t length)
{
    const std::uint8_t* half = fromReceiveHalf ? frame.rx() : frame.tx();
    const std::size_t halfSize = fromReceiveHalf ? RX_HALF_SIZE : TX_HALF_SIZE;
    return ModbusCrc16Bytes(half, length < halfSize ? length : halfSize);
}

std::uint16_t ModbusCrc16(std::uint8_t fromReceiveHalf, std::uint8_t length)
{
    return ModbusCrc16(TheClearRun().frame, fromReceiveHalf, length);
}

} // namespace korvanel
