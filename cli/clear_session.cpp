#include "clear_session.h"

#include <memory>

#include "capture_port.h"
#include "port_factory.h"
#include "progress.h"
#include "session_runs.h"

namespace korvanel {

namespace {

// The capture's interface: the port, and the line settings the session
// starts at (a scan's later ones are on each packet).
bool OpenCapture(const ClearOptions& options, CaptureFile& capture, ClearSessionIo& io)
{
    const std::string line =
        HasNoLineOfOurs(options.port) ? "the converter's own" : options.lineSettings.front().text();
    std::string error;
    if (capture.open(options.capturePath, "korvanel-clear", options.port.name,
                     CaptureDescription(line), error))
        return true;
    io.err << "korvanel-clear: " << error << '\n';
    return false;
}

int RunOnPort(const ClearOptions& options, RunPort& port, ClearSessionIo& io)
{
    SessionStats stats(options.stats);
    port.setLineSettings(options.lineSettings.front());
    port.setRs485(options.rs485);
    if (!PortReady(port.open(options.port), port, io)) {
        port.close();
        return EXIT_USAGE_OR_PORT;
    }

    // The trace and the objects are read line by line, by a person or a
    // script: a line redrawn among them would only get in the way.
    ProgressLine progress(io, io.errIsTerminal && !options.trace && !options.json);
    ClearTrace trace(options.trace ? &io.err : nullptr, io.clock, io.start);
    if (port.driverState().serial)
        trace.note(DriverStateText(port.driverState()));
    Session session(options, port, io, trace, stats);
    if (progress.enabled())
        session.whileWaiting([&progress] { progress.poll(); });
    Runs runs(options, session, io, trace, progress);
    const ClearExitStatus status = runs.finish(options.scan ? runs.scan() : runs.clears());
    session.close();
    stats.closed();
    stats.report(io.err);
    return status;
}

} // namespace

int RunClearSession(const ClearOptions& options, ClearSessionIo& io)
{
    const std::unique_ptr<RunPort> port = MakePort(options.port);
    return RunClearSession(options, *port, io);
}

// A capture that cannot be made is a usage error, found before the port
// opens and anything is sent.
int RunClearSession(const ClearOptions& options, RunPort& port, ClearSessionIo& io)
{
    if (options.capturePath.empty())
        return RunOnPort(options, port, io);
    CaptureFile capture;
    if (!OpenCapture(options, capture, io))
        return EXIT_USAGE_OR_PORT;
    int status = 0;
    {
        CapturePort captured(port, capture, !HasNoLineOfOurs(options.port));
        status = RunOnPort(options, captured, io);
    }
    if (!capture.error().empty())
        io.err << "korvanel-clear: " << capture.error() << '\n';
    return status;
}

} // namespace korvanel
