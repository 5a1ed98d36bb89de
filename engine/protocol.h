// The facts of the line that every program shares: who may be addressed,
// which functions and register a Clear uses, and the defaults a user starts
// from. The dialog, korvanel-clear and korvanel-sim all read them here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvanel {

// One byte of address goes on the wire: 0 to 255.
constexpr std::uint32_t MAX_INVERTER_ADDRESS = 255;
// Every inverter on the bus executes a request to this address; none answers.
constexpr std::uint8_t BROADCAST_ADDRESS = 0;

constexpr std::uint8_t FUNCTION_READ_HOLDING_REGISTERS = 0x03;
constexpr std::uint8_t FUNCTION_WRITE_SINGLE_REGISTER = 0x06;
constexpr std::uint8_t FUNCTION_WRITE_MULTIPLE_REGISTERS = 0x10;
// The most registers one request may read or write: a frame stays within
// 256 bytes.
constexpr unsigned MAX_READ_REGISTERS = 125;
constexpr unsigned MAX_WRITE_REGISTERS = 123;
// An exception reply carries the request's function code with this bit set.
constexpr std::uint8_t EXCEPTION_FLAG = 0x80;

// Exception codes an inverter answers with.
constexpr std::uint8_t EXCEPTION_ILLEGAL_FUNCTION = 0x01;
constexpr std::uint8_t EXCEPTION_ILLEGAL_DATA_ADDRESS = 0x02;
constexpr std::uint8_t EXCEPTION_ILLEGAL_DATA_VALUE = 0x03;
constexpr std::uint8_t EXCEPTION_SERVER_DEVICE_FAILURE = 0x04;
constexpr std::uint8_t EXCEPTION_ACKNOWLEDGE = 0x05;
constexpr std::uint8_t EXCEPTION_SERVER_DEVICE_BUSY = 0x06;
constexpr std::uint8_t EXCEPTION_MEMORY_PARITY_ERROR = 0x08;
constexpr std::uint8_t EXCEPTION_GATEWAY_PATH_UNAVAILABLE = 0x0A;
constexpr std::uint8_t EXCEPTION_GATEWAY_TARGET_NO_RESPONSE = 0x0B;

// A Clear writes this value to this holding register.
constexpr std::uint16_t CLEAR_REGISTER = 0x004A;
constexpr std::uint16_t CLEAR_VALUE = 0x0000;

// What the port field and --port start from.
constexpr const char* DEFAULT_PORT_NAME = "COM1";
// One tick a second unless the user asks otherwise.
constexpr std::int32_t DEFAULT_POLL_PERIOD_MS = 1000;

// The dialog's read buffer: a tick keeps at most this many of the bytes it
// takes out of the input queue. Each platform's port reads into a buffer of
// exactly this size.
constexpr std::size_t RX_SCRATCH_SIZE = 256;

} // namespace korvanel
