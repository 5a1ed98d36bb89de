// One invocation of korvanel-clear: opens the port once, gives each address
// one full Clear run on the engine's tick procedure, paced by the poll
// thread, and reports each outcome with the dialog's own text.
#pragma once

#include "clear_options.h"
#include "session_report.h"

namespace korvanel {

class RunPort;

// Runs every address of `options` and returns the exit status.
int RunClearSession(const ClearOptions& options, ClearSessionIo& io);

// The same on a port the caller supplies (tests give a scripted line).
int RunClearSession(const ClearOptions& options, RunPort& port, ClearSessionIo& io);

} // namespace korvanel
