// One invocation of korvanel-clear: opens the port once, gives each address
// one full Clear run on the engine's tick procedure, paced by the poll
// thread, and reports each outcome with the dialog's own text.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "clear_options.h"
#include "clear_run.h"

namespace korvanel {

class RunPort;

enum ClearExitStatus : int {
    EXIT_ALL_CLEARED = 0,
    EXIT_RUN_FAILED = 1,
    EXIT_USAGE_OR_PORT = 2,
    EXIT_INTERRUPTED = 130,
};

// The --trace lines: milliseconds since start, tick number within the run,
// direction and bytes in hex, e.g.
//   "    1002.3 ms  tick 1  TX  01 06 00 4A 00 00 A8 1C"
class ClearTrace {
public:
    using Clock = std::chrono::steady_clock;

    ClearTrace(std::ostream* sink, Clock::time_point start) : sink_(sink), start_(start) {}

    bool enabled() const { return sink_ != nullptr; }
    // `address` is printed when a session clears more than one inverter.
    // A frame the port could not put on the line whole says why.
    void sent(int address, unsigned tick, const std::uint8_t* bytes, std::uint32_t count,
              const std::string& problem = {});
    // `taken` bytes left the queue; the first `kept` are in `bytes`.
    void gathered(int address, unsigned tick, bool completed, const std::uint8_t* bytes,
                  std::uint32_t kept, std::uint32_t taken);
    // Free text such as a missing tick.
    void note(const std::string& text);

private:
    void prefix(int address, unsigned tick);

    std::ostream* sink_;
    Clock::time_point start_;
};

struct ClearSessionIo {
    std::ostream& out;
    std::ostream& err;
    // Polled while waiting for a tick; true ends the session with 130.
    std::function<bool()> interrupted;
    ClearTrace::Clock::time_point start = ClearTrace::Clock::now();
};

// Runs every address of `options` and returns the exit status.
int RunClearSession(const ClearOptions& options, ClearSessionIo& io);

// The same on a port the caller supplies.
int RunClearSession(const ClearOptions& options, RunPort& port, ClearSessionIo& io);

} // namespace korvanel
