// The DCB a Win32 serial port is given for a set of line settings. Apart
// from the port so a test can look at every row without a device.
#pragma once

#include <windows.h>

#include "line_settings.h"

namespace korvanel {

// Speed, 8 data bits, parity and its check, stop bits, binary. Flow
// control, handshake lines and special characters stay as the driver
// reported them.
void ApplyLineSettings(DCB& dcb, const LineSettings& line);

} // namespace korvanel
