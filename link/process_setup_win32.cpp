// Start-up on Windows. A serial port is a HANDLE, never a C runtime
// descriptor, so a closed standard stream cannot be taken over by the port;
// there is no SIGHUP or SIGPIPE, and a failed write is an error return.
#include "process_setup.h"

#include <csignal>

namespace korvanel {

bool OpenMissingStandardDescriptors()
{
    return true;
}

void RouteStopSignals(void (*onStop)(int))
{
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
}

} // namespace korvanel
