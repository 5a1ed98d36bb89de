// One run of korvanel-sim over an open line: requests gathered from the
// line go to the virtual inverters, their replies (and the line's echo and
// noise) go back at the line's pace, every frame is logged, until a stop
// signal or --vanish-after.
#pragma once

#include "capture_file.h"
#include "line_end.h"
#include "sim_line.h"
#include "sim_options.h"
#include "unique_fd_posix.h"

namespace korvanel {

// A stop signal writes a byte to this pipe, which the main loop polls
// with the line, so a stop never cuts a step short.
class StopPipe {
public:
    ~StopPipe();
    // Makes the pipe and routes the stop signals to it: 0, or an exit
    // status.
    int route();
    int readFd() const { return ends_[0].get(); }

private:
    UniqueFd ends_[2];
};

// Opens --capture's file, if any, for `line`: 0, or 2 (a usage error)
// said on standard error.
int OpenSimCapture(const SimOptions& options, const SimLine& line, CaptureFile& capture);

// Serves `line` until a stop signal or the line vanishes: 0, or an exit
// status. Each frame heard and each chunk sent goes to `capture` if open.
int RunSimulator(const SimOptions& options, const SimLine& line, const StopPipe& stops,
                 SimClock::time_point start, CaptureFile& capture);

} // namespace korvanel
