// What a program does first, before it opens any port, so that nothing of
// its own can reach the serial line and a stop request closes the port.
// process_setup_posix.cpp or process_setup_win32.cpp implements it, chosen
// by CMake.
#pragma once

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
// only do what a signal handler may.
void RouteStopSignals(void (*onStop)(int));

} // namespace korvanel
