// CRC-16 of Modbus over serial line: width 16, polynomial 0x8005 reflected
// (0xA001), register preset 0xFFFF, no final xor. Computed with the two
// 256-byte tables of the standard, one per result byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvanel {

struct FrameBuffer;

// Check over the first `length` bytes of one half of `frame`: the receive
// half when `fromReceiveHalf` is non-zero, the transmit half otherwise.
// The running index is a byte, as in the frame it was written for, so only
// lengths up to 255 are meaningful; a half is 180 bytes, and a longer length
// stops at the half's end rather than reading the other half.
//
// The result packs the two check bytes in wire order: the high byte goes
// first (frame position 6), the low byte second (position 7). It is the
// conventional CRC-16/MODBUS value with its two bytes exchanged.
std::uint16_t ModbusCrc16(const FrameBuffer& frame, std::uint8_t fromReceiveHalf,
                          std::uint8_t length);

// The same over the process-wide record's frame buffer.
std::uint16_t ModbusCrc16(std::uint8_t fromReceiveHalf, std::uint8_t length);

// The same packing over any bytes (for the simulator and tools).
std::uint16_t ModbusCrc16Bytes(const std::uint8_t* bytes, std::size_t length);

// True when the last two of `length` bytes are the check of the others, in
// wire order. A frame shorter than address, function and check never is.
bool HasValidCheck(const std::uint8_t* frame, std::size_t length);

// Appends the two check bytes of `frame` in wire order.
void AppendCheck(std::vector<std::uint8_t>& frame);

} // namespace korvanel
