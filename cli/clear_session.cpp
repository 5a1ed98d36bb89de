#include "clear_session.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

#include "poll_thread.h"
#include "process_resources.h"
#include "serial_port.h"

namespace korvanel {

namespace {

using Clock = ClearTrace::Clock;

// While a run waits for a tick it looks at the interrupt flag this often.
constexpr std::chrono::milliseconds INTERRUPT_CHECK{20};
// A run that has had no tick for two periods plus this long has lost its
// poll thread; it ends as failed rather than hanging.
constexpr std::chrono::milliseconds MISSING_TICK_GRACE{2000};

// The queue the poll thread posts ticks to; the main thread takes them.
class TickQueue {
public:
    void post()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++pending_;
        }
        ready_.notify_one();
    }
    // True when a tick was taken before `timeout`.
    bool take(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ready_.wait_for(lock, timeout, [this] { return pending_ > 0; }))
            return false;
        --pending_;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    unsigned pending_ = 0;
};

// The dialog's side of a tick, for a terminal: fields are already valid,
// results are recorded rather than shown, and the port stays open between
// the runs of one session.
class CliTickOps : public ClearTickOps {
public:
    CliTickOps(ClearRun& run, SerialPort& port, ClearTrace& trace, bool showAddress)
        : run_(run), port_(port), trace_(trace), showAddress_(showAddress)
    {
    }

    void beginRun(std::uint8_t address)
    {
        address_ = address;
        tick_ = 0;
        finished_ = false;
        outcome_.clear();
    }
    void beginTick() { ++tick_; }
    bool finished() const { return finished_; }
    const std::string& outcome() const { return outcome_; }

    std::uint8_t* rxScratch() override { return scratch_; }
    std::uint32_t queuedByteCount() override { return port_.queuedByteCount(); }
    void prepareWriteEvent() override { port_.prepareWriteEvent(); }
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept) override
    {
        const bool completed = port_.readQueued(buffer, count, bytesKept);
        trace_.gathered(traceAddress(), tick_, completed, buffer, completed ? bytesKept : 0, count);
        return completed;
    }
    bool exchangeFieldsFromControls() override { return true; }
    std::uint32_t inverterAddress() const override { return address_; }
    void setResultText(const std::string& text) override { resultText_ = text; }
    void exchangeFieldsToControls() override {}
    void StopRun() override
    {
        run_.txLength = 0;
        run_.setState(Idle);
        finished_ = true;
    }
    void showResult(const std::string& text) override
    {
        outcome_ = text;
        finished_ = true;
    }
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override
    {
        port_.writeFrame(bytes, count);
        trace_.sent(traceAddress(), tick_, bytes, count);
    }

private:
    int traceAddress() const { return showAddress_ ? address_ : -1; }

    ClearRun& run_;
    SerialPort& port_;
    ClearTrace& trace_;
    bool showAddress_;
    std::uint8_t scratch_[RX_SCRATCH_SIZE] = {};
    std::uint8_t address_ = 0;
    unsigned tick_ = 0;
    bool finished_ = false;
    std::string outcome_;
    std::string resultText_;
};

// Tick handler times and the process's holdings over a session: before the
// port opens, after the first run, after the last run (port still open) and
// after the port has closed. A run that leaks shows as growth between the
// first and the last run; the port itself must be given back at the end.
class SessionStats {
public:
    enum Moment { BEFORE_OPEN, AFTER_FIRST_RUN, AFTER_LAST_RUN, AFTER_CLOSE, MOMENTS };

    explicit SessionStats(bool enabled) : enabled_(enabled) { take(BEFORE_OPEN); }

    void tickHandled(Clock::duration took)
    {
        ++ticks_;
        total_ += took;
        if (took > longest_)
            longest_ = took;
    }
    void runEnded()
    {
        take(++runs_ == 1 ? AFTER_FIRST_RUN : AFTER_LAST_RUN);
    }
    void closed()
    {
        if (runs_ == 1)
            readings_[AFTER_LAST_RUN] = readings_[AFTER_FIRST_RUN];
        take(AFTER_CLOSE);
    }

    void report(std::ostream& err) const
    {
        if (!enabled_)
            return;
        using Ms = std::chrono::duration<double, std::milli>;
        char line[160];
        std::snprintf(line, sizeof line,
                      "stats: %lu runs, %lu ticks; longest tick handler %.3f ms, mean %.3f ms\n", runs_,
                      ticks_, Ms(longest_).count(), ticks_ ? Ms(total_).count() / ticks_ : 0.0);
        err << line;
        err << "stats: " << OpenHandlesName() << ' ' << readings_[BEFORE_OPEN].openHandles
            << " before open, " << readings_[AFTER_FIRST_RUN].openHandles << " after the first run, "
            << readings_[AFTER_LAST_RUN].openHandles << " after the last run, "
            << readings_[AFTER_CLOSE].openHandles << " after close\n";
        err << "stats: memory KiB " << readings_[BEFORE_OPEN].residentKiB << " before open, "
            << readings_[AFTER_FIRST_RUN].residentKiB << " after the first run, "
            << readings_[AFTER_LAST_RUN].residentKiB << " after the last run, "
            << readings_[AFTER_CLOSE].residentKiB << " after close\n";
    }

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
    Clock::duration total_{};
    Clock::duration longest_{};
};

// The stderr line that ends a session whose device went away.
constexpr char TEXT_PORT_LOST[] = "COM Port Lost: ";

// An unplugged adapter or a hung-up line: nothing more can be sent or heard,
// so the whole session ends now rather than spending eight periods on the
// run in progress and on every address left. No outcome line is printed for
// the run in progress: it did not end, it was cut off.
bool EndedByLostPort(SerialPort& port, ClearRun& run, PollThread& poll, ClearSessionIo& io)
{
    if (!port.lost())
        return false;
    run.setState(Idle);
    poll.stop();
    port.close();
    io.err << TEXT_PORT_LOST << port.lostReason() << '\n';
    return true;
}

bool PortReady(PortOpenResult result, SerialPort& port, ClearSessionIo& io)
{
    if (result == PortOpenResult::Ok)
        return true;
    io.err << PortOpenFailureText(result) << ": " << port.lastSystemError() << '\n';
    return false;
}

} // namespace

std::string HexBytes(const std::uint8_t* bytes, std::uint32_t count)
{
    std::string text;
    char cell[4];
    for (std::uint32_t i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
        text += cell;
    }
    return text;
}

void ClearTrace::prefix(int address, unsigned tick)
{
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    char head[64];
    std::snprintf(head, sizeof head, "%10.1f ms  ", ms);
    *sink_ << head;
    if (address >= 0)
        *sink_ << "addr " << address << "  ";
    *sink_ << "tick " << tick << "  ";
}

void ClearTrace::sent(int address, unsigned tick, const std::uint8_t* bytes, std::uint32_t count)
{
    if (!sink_)
        return;
    prefix(address, tick);
    *sink_ << "TX  " << HexBytes(bytes, count) << '\n' << std::flush;
}

void ClearTrace::gathered(int address, unsigned tick, bool completed, const std::uint8_t* bytes,
                          std::uint32_t kept, std::uint32_t taken)
{
    if (!sink_)
        return;
    prefix(address, tick);
    *sink_ << "RX  ";
    if (!completed)
        *sink_ << "(read failed)";
    else if (kept == 0)
        *sink_ << "(none)";
    else
        *sink_ << HexBytes(bytes, kept);
    if (completed && taken > kept)
        *sink_ << "  (+" << (taken - kept) << " more dropped)";
    *sink_ << '\n' << std::flush;
}

void ClearTrace::note(const std::string& text)
{
    if (!sink_)
        return;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    char head[64];
    std::snprintf(head, sizeof head, "%10.1f ms  ", ms);
    *sink_ << head << text << '\n' << std::flush;
}

int RunClearSession(const ClearOptions& options, ClearSessionIo& io)
{
    SerialPort port;
    return RunClearSession(options, port, io);
}

int RunClearSession(const ClearOptions& options, SerialPort& port, ClearSessionIo& io)
{
    SessionStats stats(options.stats);
    if (!PortReady(port.open(options.portName), port, io)) {
        port.close();
        return EXIT_USAGE_OR_PORT;
    }

    ClearRun run;
    run.setPeriod(options.pollPeriodMs);
    ClearTrace trace(options.trace ? &io.err : nullptr, io.start);
    CliTickOps ops(run, port, trace, options.addresses.size() > 1);
    TickQueue ticks;
    PollThread poll;
    if (!poll.start(run, [&ticks] { ticks.post(); })) {
        io.err << "Create Thread Faile.\n";
        port.close();
        return EXIT_RUN_FAILED;
    }

    const auto missingTick =
        std::chrono::milliseconds(2 * EffectivePollPeriodMs(options.pollPeriodMs)) + MISSING_TICK_GRACE;
    const bool showAddress = options.addresses.size() > 1;
    bool allCleared = true;

    for (const std::uint8_t address : options.addresses) {
        ops.beginRun(address);
        run.setState(Armed);
        auto lastTick = Clock::now();
        while (!ops.finished()) {
            if (io.interrupted && io.interrupted()) {
                // Ctrl-C: the port closes before anything else is said.
                run.setState(Idle);
                port.close();
                poll.stop();
                io.err << "Interrupted: the port is closed.\n";
                return EXIT_INTERRUPTED;
            }
            if (!ticks.take(INTERRUPT_CHECK)) {
                if (Clock::now() - lastTick > missingTick) {
                    trace.note("no tick came; the run is abandoned");
                    io.err << "No tick for " << missingTick.count() << " ms: the run is abandoned.\n";
                    ops.StopRun();
                    ops.showResult(TEXT_OPERATION_FAIL);
                }
                continue;
            }
            lastTick = Clock::now();
            ops.beginTick();
            const auto tickStart = Clock::now();
            OnClearTick(run, ops);
            stats.tickHandled(Clock::now() - tickStart);
            if (EndedByLostPort(port, run, poll, io))
                return EXIT_USAGE_OR_PORT;
        }
        stats.runEnded();
        if (showAddress)
            io.out << static_cast<int>(address) << ": ";
        io.out << ops.outcome() << '\n' << std::flush;
        if (ops.outcome() != TEXT_CLEAR_OK)
            allCleared = false;
    }

    run.setState(Idle);
    poll.stop();
    port.close();
    stats.closed();
    stats.report(io.err);
    return allCleared ? EXIT_ALL_CLEARED : EXIT_RUN_FAILED;
}

} // namespace korvanel
