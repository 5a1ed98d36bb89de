// The device side of the POSIX serial port (serial_port_device_posix.cpp):
// what its open() asks about a device besides the line itself.
#pragma once

#include <string>

namespace korvanel {

// The system's words for a failed open of `path` and, for the failures
// users meet first (busy, no rights, no such device), what to do.
std::string ExplainOpenFailure(int err, const std::string& path);

// Why the terminal open on `fd` must never be taken as the inverter's line
// (the process's own terminal, the pseudo-terminal multiplexer); empty for
// any other.
std::string RefusedAsLine(int fd);

} // namespace korvanel
