// The simulator's end of the line: the master side of a pseudo-terminal it
// makes, or the listener's line to its network client; and what the
// pseudo-terminal shows of the line the master set.
#pragma once

#include <string>

#include "line_settings.h"
#include "listener.h"
#include "sim_options.h"
#include "unique_fd_posix.h"

namespace korvanel {

struct SimLine {
    // What the simulator reads and writes: `pseudoTerminal`, or the
    // listener's line, which the listener owns.
    int fd = -1;
    UniqueFd pseudoTerminal;
    // The pseudo-terminal's far end, held open; none when listening.
    UniqueFd slaveHold;
    // What the master opens: a device path or the listener's URL.
    std::string portPath;
    // Each read is one whole request (a gateway's line), so no silence
    // has to end it.
    bool framed = false;
};

// Says `what` failed, with errno's reason, on standard error: 1, the exit
// status.
int SystemFailure(const std::string& what);

// Opens the line the options ask for, non-blocking: 0, or an exit status.
int OpenLine(const SimOptions& options, Listener& listener, SimLine& line);

// --link: makes `linkPath` (if any) a symbolic link to `portPath`, in place
// of an earlier link there: 0, or an exit status.
int LinkPort(const std::string& linkPath, const std::string& portPath);

// The master's line as the far end of a pseudo-terminal shows it (it shares
// the master's termios): the speed (0 for a rate that is not a standard
// one), the stop bits, and the parity where the driver keeps it. A
// pseudo-terminal clears the parity flag whatever it is asked, so there a
// line counts as without parity. False when termios cannot be read.
bool MasterLine(int slave, LineSettings& line);

} // namespace korvanel
