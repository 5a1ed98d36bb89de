// korvanel-sim: a virtual inverter on a pseudo-terminal. Its first line on
// standard output is the port to give korvanel-clear (or any Modbus RTU
// master); every frame received and sent is logged on standard error.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "line_end.h"
#include "listener.h"
#include "process_setup.h"
#include "sim_options.h"
#include "simulator.h"

int main(int argc, char** argv)
{
    const auto start = korvanel::SimClock::now();
    // Before the pseudo-terminal is made: with stdout closed it would take
    // descriptor 1, and the port line printed would go onto the bus.
    if (!korvanel::OpenMissingStandardDescriptors())
        return 1;
    korvanel::SimOptions options;
    if (const int status =
            ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc), options))
        return status < 0 ? 0 : status;

    // Declared in this order so the line goes before the listener that
    // serves it.
    korvanel::Listener listener;
    korvanel::SimLine line;
    korvanel::StopPipe stops;
    if (const int status = korvanel::OpenLine(options, listener, line))
        return status;
    korvanel::CaptureFile capture;
    if (const int status = korvanel::OpenSimCapture(options, line, capture))
        return status;
    if (const int status = stops.route())
        return status;
    if (const int status = korvanel::LinkPort(options.linkPath, line.portPath))
        return status;
    std::cout << line.portPath << std::endl;

    const int status = korvanel::RunSimulator(options, line, stops, start, capture);
    if (!options.linkPath.empty())
        ::unlink(options.linkPath.c_str());
    return status;
}
