#include "clear_session.h"

#include "port_factory.h"
#include "session_runs.h"

namespace korvanel {

int RunClearSession(const ClearOptions& options, ClearSessionIo& io)
{
    const std::unique_ptr<RunPort> port = MakePort(options.port);
    return RunClearSession(options, *port, io);
}

int RunClearSession(const ClearOptions& options, RunPort& port, ClearSessionIo& io)
{
    SessionStats stats(options.stats);
    port.setLineSettings(options.lineSettings.front());
    port.setRs485(options.rs485);
    if (!PortReady(port.open(options.port), port, io)) {
        port.close();
        return EXIT_USAGE_OR_PORT;
    }

    ClearTrace trace(options.trace ? &io.err : nullptr, io.clock, io.start);
    if (port.driverState().serial)
        trace.note(DriverStateText(port.driverState()));
    Session session(options, port, io, trace, stats);
    Runs runs(options, session, io, trace);
    const ClearExitStatus status = runs.finish(options.scan ? runs.scan() : runs.clears());
    session.close();
    stats.closed();
    stats.report(io.err);
    return status;
}

} // namespace korvanel
