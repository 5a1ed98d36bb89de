// The termios a POSIX serial port is given for a set of line settings, and
// the check that a driver took them. Apart from the port so a test can
// look at every row without a device.
#pragma once

#include <termios.h>

#include "line_settings.h"

namespace korvanel {

// The termios speed of `baud`; false for a rate without one.
bool TermiosSpeed(std::uint32_t baud, speed_t& speed);

// The line settings of a run on `tio`: speed, 8 data bits, parity and its
// check, stop bits, binary and raw. Everything else (flow control, modem
// lines, special characters) stays as the driver reported it. False, with
// `tio` untouched, for a speed termios cannot name.
bool ApplyLineSettings(termios& tio, const LineSettings& line);

// Whether `readBack` (tcgetattr after tcsetattr) shows `line`. A
// pseudo-terminal forces 8 data bits and no parity whatever it is asked,
// and has no wire for parity to act on; with `pseudoTerminal` the parity is
// not compared, the speed, size and stop bits still are.
bool LineSettingsTookEffect(const termios& readBack, const LineSettings& line, bool pseudoTerminal);

} // namespace korvanel
