// What a korvanel-clear session tells its user: the --trace lines, the
// --stats readings, and the outcome lines and notes with their wording.
// The session decides; this only words and writes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "process_resources.h"

namespace korvanel {

enum ClearExitStatus : int {
    EXIT_ALL_CLEARED = 0,
    EXIT_RUN_FAILED = 1,
    EXIT_USAGE_OR_PORT = 2,
};

// The time a session reads: when bytes came and requests went out, how
// late an answer was, how long a value held, how long an address took. The
// program runs on the steady clock; tests give a clock of their own so the
// figures a session prints are exact.
class SessionClock {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~SessionClock() = default;
    virtual Clock::time_point now() const = 0;
    virtual void sleepUntil(Clock::time_point when) = 0;
};
SessionClock& SteadySessionClock();

struct ClearSessionIo {
    std::ostream& out;
    std::ostream& err;
    // The --trace lines count from here.
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    SessionClock& clock = SteadySessionClock();
    // Where a long session stands is drawn on `err` only when it is a terminal.
    bool errIsTerminal = false;
    // That terminal's width in columns, asked at each redraw (it may be
    // resized); none, or 0 from it, when not known.
    std::size_t (*errColumns)() = nullptr;
};

// The --trace lines: milliseconds since start, tick number within the run,
// direction and bytes in hex, e.g.
//   "    1002.3 ms  tick 1  TX  01 06 00 4A 00 00 A8 1C"
class ClearTrace {
public:
    using Clock = std::chrono::steady_clock;

    ClearTrace(std::ostream* sink, const SessionClock& clock, Clock::time_point start)
        : sink_(sink), clock_(clock), start_(start)
    {}

    bool enabled() const { return sink_ != nullptr; }
    // `address` is printed when a session clears more than one inverter.
    // A frame the port could not put on the line whole says why.
    void sent(int address, unsigned tick, const std::uint8_t* bytes, std::uint32_t count,
              const std::string& problem = {});
    // `taken` bytes left the queue; the first `kept` are in `bytes`. Tick 0
    // is input judged between ticks.
    void gathered(int address, unsigned tick, bool completed, const std::uint8_t* bytes,
                  std::uint32_t kept, std::uint32_t taken);
    // Free text such as a missing tick.
    void note(const std::string& text);

private:
    void stamp();
    void prefix(int address, unsigned tick);

    std::ostream* sink_;
    const SessionClock& clock_;
    Clock::time_point start_;
};

// Tick handler times and the process's holdings over a session: before the
// port opens, after the first run, after the last run (port still open) and
// after the port has closed. A run that leaks shows as growth between the
// first and the last run; the port itself must be given back at the end.
class SessionStats {
public:
    enum Moment { BEFORE_OPEN, AFTER_FIRST_RUN, AFTER_LAST_RUN, AFTER_CLOSE, MOMENTS };

    explicit SessionStats(bool enabled) : enabled_(enabled) { take(BEFORE_OPEN); }

    void tickHandled(std::chrono::steady_clock::duration took);
    void runEnded() { take(++runs_ == 1 ? AFTER_FIRST_RUN : AFTER_LAST_RUN); }
    void closed();
    void report(std::ostream& err) const;

private:
    void take(Moment m)
    {
        if (enabled_)
            readings_[m] = ReadProcessResources();
    }

    bool enabled_;
    ProcessResources readings_[MOMENTS];
    unsigned long runs_ = 0;
    unsigned long ticks_ = 0;
    std::chrono::steady_clock::duration total_{};
    std::chrono::steady_clock::duration longest_{};
};

// "1 address", "32 addresses".
std::string CountOf(unsigned long count, const char* singular, const char* plural);
// "exception 02 (illegal data address)".
std::string ExceptionText(std::uint8_t code);
// "4660 (0x1234)": decimal for the technician, hex for the register map.
std::string ValueText(std::uint16_t value);
// "register 0x004A".
std::string RegisterText();
// "3: " before an outcome when a session has several addresses.
std::string AddressPrefix(bool showAddress, std::uint8_t address);

// Outcome lines go to standard output; one that cannot be written ends the
// session (the caller closes the port). Notes go to standard error, each
// prefixed with the program's name.
class Reporter {
public:
    explicit Reporter(ClearSessionIo& io) : io_(io) {}

    // False when the line could not be written (a full disk, a closed pipe),
    // which the caller must not ignore: a script would otherwise take a
    // missing line for a missing run. Says so on standard error.
    bool say(const std::string& line);
    void note(const std::string& text);
    // Once per session: the line gives our requests back.
    void noteEcho();

private:
    ClearSessionIo& io_;
    bool echoNoted_ = false;
};

} // namespace korvanel
