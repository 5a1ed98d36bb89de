// The serial port open now, kept where a signal handler can give it back:
// the descriptor and the line settings found at open (and the driver's
// RS-485 mode and serial flags, where we changed them), written by the
// serial port (one call at open, one at close) and read by the handler that
// process_setup_posix.cpp installs. Each call is async-signal-safe.
#pragma once

#include <linux/serial.h>
#include <termios.h>

namespace korvanel {

// `fd` now holds the exclusive claim (flock, TIOCEXCL) on a port.
void RecordOpenPort(int fd);
// The settings `fd` had before we changed them; put back at the end.
void RecordFoundSettings(int fd, const termios& found);
// The RS-485 mode and the serial flags (low latency) `fd` had before we
// changed them; put back at the end too.
void RecordFoundRs485(int fd, const serial_rs485& found);
void RecordFoundSerialFlags(int fd, const serial_struct& found);
// `fd` is about to be closed by its owner; nothing is left to give back.
void ForgetOpenPort(int fd);
// Puts the recorded settings back (RS-485 mode and flags first), clears TIOCEXCL and drops the lock.
// True when a port was recorded.
bool ReleaseRecordedPort();

} // namespace korvanel
