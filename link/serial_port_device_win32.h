// The device side of the Win32 serial port (serial_port_device_win32.cpp):
// the port names present, the device a name opens and what to say when it
// will not.
#pragma once

#include <windows.h>

#include <string>

namespace korvanel {

// The system's words for a failed CreateFileA and, where it helps, what
// to do: a COM port refuses a second opener with "Access is denied".
std::string ExplainOpenFailure(DWORD err, const std::string& systemText);

} // namespace korvanel
