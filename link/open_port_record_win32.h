// The serial port open now, kept where the console control handler can
// give it back: the handle and the line settings found at open, written by
// the serial port (one call at open, one at close) and taken by the handler
// that process_setup_win32.cpp installs, which runs on a thread of its own.
#pragma once

#include <windows.h>

namespace korvanel {

// `port` is now open (exclusively, share mode 0).
void RecordOpenPort(HANDLE port);
// The settings `port` had before we changed them; put back at the end.
void RecordFoundSettings(HANDLE port, const DCB& found);
// `port` is about to be closed by its owner.
void ForgetOpenPort(HANDLE port);
// Puts the recorded settings back and closes the handle, which ends the
// exclusive claim. True when a port was recorded.
bool ReleaseRecordedPort();

} // namespace korvanel
