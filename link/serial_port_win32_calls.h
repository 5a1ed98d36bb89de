// The Win32 calls through which the serial port reads and writes, as
// replaceable pointers: a test puts a wrapper in front of them to make a
// driver's error appear that no pseudo-terminal under Wine can produce (a
// request ended by a driver set to abort on a framing or parity error).
// Windows builds only.
#pragma once

#include <windows.h>

namespace korvanel {

struct SerialCommCalls {
    BOOL(WINAPI* readFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = ::ReadFile;
    BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = ::WriteFile;
};

// The calls every SerialPort of the process uses.
SerialCommCalls& TheSerialCommCalls();

} // namespace korvanel
