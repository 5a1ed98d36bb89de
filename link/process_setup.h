// What a program does first, before it opens any port, so that nothing of
// its own can reach the serial line and a stop request closes the port.
// process_setup_posix.cpp or process_setup_win32.cpp implements it, chosen
// by CMake.
#pragma once

#include <cstddef>

namespace korvanel {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Started
// with standard output closed (`>&-`), a program's next open() takes
// descriptor 1, and the port would then receive every line printed. False
// when a closed descriptor could not be filled; the program must then stop
// before it opens a port.
bool OpenMissingStandardDescriptors();

// Sends the requests to stop (Ctrl-C, kill, the terminal closing) to
// `onStop`, which gets the signal number; a reader that goes away shows as
// a failed write rather than ending the program on the spot. `onStop` may
// only do what a signal handler may. A signal ignored at start stays
// ignored.
void RouteStopSignals(void (*onStop)(int));

// For a program that holds a serial port: every request to end it ends it
// at once, the same way, even while a write to a paused terminal or a pipe
// nobody reads is blocked. The port open at that moment gets back the line
// settings found at open and loses its exclusive claim, "Interrupted: the
// port is closed." goes to standard error if it fits without waiting, and
// the status is 128 + the signal (130 Ctrl-C, 129 hang-up, 143 SIGTERM). On
// POSIX that is every signal whose default ends the process (the program's
// own faults keep their core file after the port is given back); a signal
// ignored at start stays ignored (nohup). On Windows: Ctrl-C (130),
// Ctrl-Break (149) and the console closing or the session ending (129).
void EndProcessOnStopSignals();

// How long a line standard error holds unfinished (a progress line redrawn
// in place), 0 for none: a stop wipes it before its own message.
void SetUnfinishedLine(std::size_t length);

} // namespace korvanel
