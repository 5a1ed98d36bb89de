// Where a scan or a clear of many addresses stands, on one line of standard
// error redrawn in place while the session works, e.g.
//   "scan: 37/247 asked, 2 answered, 9 s"
// so a technician can tell a slow bus from a hung tool. It is only for a
// person at a terminal: standard output and the log read exactly as they
// would without it.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

#include "session_report.h"

namespace korvanel {

// True when standard error is a terminal (a console on Windows) that takes
// a carriage return back to the start of the line.
bool StandardErrorIsTerminal();
// The width of that terminal in columns, 0 when it cannot be told.
std::size_t StandardErrorColumns();

class ProgressLine {
public:
    // `wanted`: the session may show it (a terminal, no --json, no --trace).
    // Then, while this lives, the session's two streams wipe the line before
    // each write, so every outcome line, note and summary starts on a clean
    // line whoever writes it.
    ProgressLine(ClearSessionIo& io, bool wanted);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool enabled() const { return enabled_; }

    // New figures: drawn now, or as soon as the redraw interval allows.
    // `settings`: said when a scan tries several, each on what is left.
    void scanAt(std::size_t asked, std::size_t total, unsigned answered,
                const std::string& settings);
    void clearAt(bool verifying, std::size_t done, std::size_t total, unsigned succeeded);
    // Called while the session waits: the seconds move, the counts may have.
    void poll();
    void wipe();

private:
    // Unbuffered: every write reaches the target, after the wipe.
    class WipeFirst : public std::streambuf {
    public:
        WipeFirst(ProgressLine& line, std::streambuf* target) : line_(line), target_(target) {}
        std::streambuf* target() const { return target_; }

    protected:
        int overflow(int c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int sync() override { return target_->pubsync(); }

    private:
        ProgressLine& line_;
        std::streambuf* target_;
    };

    void show(std::string counts);

    ClearSessionIo& io_;
    const bool enabled_;
    WipeFirst outBuffer_;
    WipeFirst errBuffer_;
    // Standard error's own buffer: the line itself is drawn past the wipe.
    std::ostream terminal_;
    const SessionClock::Clock::time_point started_;
    SessionClock::Clock::time_point lastDraw_{};
    bool drawn_ = false;
    std::string counts_;
    // What stands on the terminal now; empty when wiped.
    std::string shown_;
};

} // namespace korvanel
