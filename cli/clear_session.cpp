#include "clear_session.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#include "hex_bytes.h"
#include "poll_thread.h"
#include "process_resources.h"
#include "line_port.h"

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
    // Ticks of a poll thread that has been replaced are dropped.
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_ = 0;
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
// the runs of one session. It stands between the tick and the port only to
// trace what is gathered and sent.
class CliTickOps : public ClearTickOps, private TickPort {
public:
    CliTickOps(ClearRun& run, RunPort& port, ClearTrace& trace, bool showAddress)
        : run_(run), port_(port), trace_(trace), showAddress_(showAddress)
    {
    }

    void beginRun(std::uint8_t address)
    {
        address_ = address;
        tick_ = 0;
        writes_ = 0;
        finished_ = false;
        outcome_.clear();
    }
    void beginTick() { ++tick_; }
    unsigned writes() const { return writes_; }
    bool finished() const { return finished_; }
    const std::string& outcome() const { return outcome_; }

    TickPort& port() override { return *this; }
    std::uint8_t* rxScratch() override { return scratch_; }
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

private:
    // TickPort: the real port's operations, the read and the write traced.
    std::uint32_t queuedByteCount() override { return port_.queuedByteCount(); }
    void prepareWriteEvent() override { port_.prepareWriteEvent(); }
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept) override
    {
        const bool completed = port_.readQueued(buffer, count, bytesKept);
        trace_.gathered(traceAddress(), tick_, completed, buffer, completed ? bytesKept : 0, count);
        return completed;
    }
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override
    {
        port_.writeFrame(bytes, count);
        ++writes_;
        trace_.sent(traceAddress(), tick_, bytes, count);
    }

    int traceAddress() const { return showAddress_ ? address_ : -1; }

    ClearRun& run_;
    RunPort& port_;
    ClearTrace& trace_;
    bool showAddress_;
    std::uint8_t scratch_[RX_SCRATCH_SIZE] = {};
    std::uint8_t address_ = 0;
    unsigned tick_ = 0;
    unsigned writes_ = 0;
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
bool EndedByLostPort(RunPort& port, ClearRun& run, PollThread& poll, ClearSessionIo& io)
{
    if (!port.lost())
        return false;
    run.setState(Idle);
    poll.stop();
    port.close();
    io.err << TEXT_PORT_LOST << port.lostReason() << '\n';
    return true;
}

bool PortReady(PortOpenResult result, RunPort& port, ClearSessionIo& io)
{
    if (result == PortOpenResult::Ok)
        return true;
    io.err << PortOpenFailureText(result) << ": " << port.lastSystemError() << '\n';
    return false;
}

} // namespace

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


namespace {

// What a session's runs share: the open port, the run record, the poll
// thread that paces it and the queue its ticks arrive on.
class Session {
public:
    enum class RunEnd { Finished, Interrupted, NoPacing, PortLost };

    Session(const ClearOptions& options, RunPort& port, ClearSessionIo& io, ClearTrace& trace,
            SessionStats& stats)
        : port_(port), io_(io), dialogRules_(options.dialogRules), trace_(trace), stats_(stats),
          ops_(run_, port, trace, options.addresses.size() > 1),
          missingTick_(std::chrono::milliseconds(2 * EffectivePollPeriodMs(options.pollPeriodMs)) +
                       MISSING_TICK_GRACE)
    {
        run_.setPeriod(options.pollPeriodMs);
        run_.lineEchoes = options.echo;
    }
    ~Session() { poll_.stop(); }

    const ClearRun& record() const { return run_; }
    const CliTickOps& ops() const { return ops_; }

    // One whole run for `address`, ticked until it ends.
    RunEnd run(std::uint8_t address, RequestKind kind, std::uint8_t retryLimit)
    {
        ops_.beginRun(address);
        // The dialog has no read: a read is always judged by the field rule.
        run_.replyRule = dialogRules_ && kind == RequestKind::ClearWrite ? ReplyRule::Dialog : ReplyRule::Field;
        run_.requestKind = kind;
        run_.retryLimit = retryLimit;
        port_.beginRun();
        DropStaleBytes(address);
        run_.setState(Armed);
        if (!RestartPacing())
            return RunEnd::NoPacing;

        // There is no button press to wait for: the request goes out at once
        // and the checks follow one period apart, so an answered Clear takes
        // one period plus the line time.
        bool tickDue = true;
        auto lastTick = Clock::now();
        while (!ops_.finished()) {
            if (io_.interrupted && io_.interrupted()) {
                // Ctrl-C: the port closes before anything else is said.
                run_.setState(Idle);
                port_.close();
                poll_.stop();
                io_.err << "Interrupted: the port is closed.\n";
                return RunEnd::Interrupted;
            }
            if (!tickDue && !ticks_.take(INTERRUPT_CHECK)) {
                if (Clock::now() - lastTick > missingTick_) {
                    trace_.note("no tick came; the run is abandoned");
                    io_.err << "No tick for " << missingTick_.count() << " ms: the run is abandoned.\n";
                    ops_.StopRun();
                    ops_.showResult(TEXT_OPERATION_FAIL);
                }
                continue;
            }
            tickDue = false;
            lastTick = Clock::now();
            ops_.beginTick();
            const auto tickStart = Clock::now();
            OnClearTick(run_, ops_);
            stats_.tickHandled(Clock::now() - tickStart);
            if (EndedByLostPort(port_, run_, poll_, io_))
                return RunEnd::PortLost;
        }
        stats_.runEnded();
        return RunEnd::Finished;
    }

    void close()
    {
        run_.setState(Idle);
        poll_.stop();
        port_.close();
    }

private:
    // Whatever is queued now belongs to an earlier run (a late reply, an
    // echo): it must never be judged as this run's reply.
    void DropStaleBytes(std::uint8_t address)
    {
        const std::uint32_t queued = port_.queuedByteCount();
        if (queued == 0)
            return;
        std::uint8_t scratch[RX_SCRATCH_SIZE];
        std::uint32_t kept = 0;
        if (port_.readQueued(scratch, queued, kept) && trace_.enabled())
            trace_.note("addr " + std::to_string(address) + "  run start: " + std::to_string(queued) +
                        " stale bytes dropped: " + HexBytes(scratch, kept));
    }

    // The poll thread's rhythm runs free; a new thread starts a new one, so
    // the first check comes one full period after the request.
    bool RestartPacing()
    {
        poll_.stop();
        ticks_.clear();
        if (poll_.start(run_, [this] { ticks_.post(); }))
            return true;
        io_.err << TEXT_THREAD_FAIL << '\n';
        run_.setState(Idle);
        return false;
    }

    RunPort& port_;
    ClearSessionIo& io_;
    const bool dialogRules_;
    ClearTrace& trace_;
    SessionStats& stats_;
    ClearRun run_;
    CliTickOps ops_;
    TickQueue ticks_;
    PollThread poll_;
    const std::chrono::milliseconds missingTick_;
};

std::string AddressPrefix(bool showAddress, std::uint8_t address)
{
    return showAddress ? std::to_string(address) + ": " : std::string();
}

// One line on standard output; false when it could not be written (a full
// disk, a closed pipe), which the caller must not ignore: a script would
// otherwise take a missing line for a missing run.
bool Say(ClearSessionIo& io, const std::string& line)
{
    io.out << line << '\n' << std::flush;
    return static_cast<bool>(io.out);
}

std::string ExceptionText(std::uint8_t code)
{
    char text[96];
    std::snprintf(text, sizeof text, "exception %02X (%s)", code, ExceptionCodeMeaning(code));
    return text;
}

// "4660 (0x1234)": decimal for the technician, hex for the register map.
std::string ValueText(std::uint16_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u (0x%04X)", static_cast<unsigned>(value), static_cast<unsigned>(value));
    return text;
}

// Outcome lines go to standard output; one that cannot be written ends the
// session with the port closed. Notes go to standard error.
class Reporter {
public:
    Reporter(ClearSessionIo& io, Session& session) : io_(io), session_(session) {}

    bool say(const std::string& line)
    {
        if (Say(io_, line))
            return true;
        const int error = errno;
        session_.close();
        io_.err << "korvanel-clear: cannot write the outcome to standard output (" << std::strerror(error)
                << "); the session stops and the port is closed.\n";
        return false;
    }

    // Once per session: the line gave back our request ahead of an answer.
    void noteEcho(const FieldFindings& found)
    {
        if (!found.echoSeen || echoHintGiven_)
            return;
        echoHintGiven_ = true;
        io_.err << "korvanel-clear: the line echoes: our request came back ahead of the "
                   "inverter's reply. Give --echo, or with no inverter behind it the echo "
                   "alone passes for a reply.\n";
    }

private:
    ClearSessionIo& io_;
    Session& session_;
    bool echoHintGiven_ = false;
};

// An exit status, or "go on" while the session's runs continue.
constexpr int GO_ON = -1;

int EndOfRun(Session::RunEnd end, Session& session)
{
    if (end == Session::RunEnd::Interrupted)
        return EXIT_INTERRUPTED;
    // The port is closed and the loss said; no outcome line for a run that
    // was cut off.
    if (end == Session::RunEnd::PortLost)
        return EXIT_USAGE_OR_PORT;
    if (end == Session::RunEnd::NoPacing) {
        session.close();
        return EXIT_RUN_FAILED;
    }
    return GO_ON;
}

// One read of register 0x004A with `retryLimit` failed checks allowed: the
// findings of its run, or null when the session ends (`status` then holds
// its exit status).
const FieldFindings* ReadRun(std::uint8_t address, std::uint8_t retryLimit, Session& session,
                             Reporter& reporter, int& status)
{
    status = EndOfRun(session.run(address, RequestKind::ReadRegister, retryLimit), session);
    if (status != GO_ON)
        return nullptr;
    const FieldFindings& found = session.record().findings;
    reporter.noteEcho(found);
    return &found;
}

// The read that proves a Clear: the same schedule as the Clear, so a slow
// or noisy line gets as many chances to answer it.
int Verify(std::uint8_t address, const std::string& prefix, Session& session, Reporter& reporter, bool& verified)
{
    int status = GO_ON;
    const FieldFindings* found = ReadRun(address, MAX_RETRY_COUNT, session, reporter, status);
    if (!found)
        return status;
    std::string line;
    verified = false;
    if (session.ops().outcome() == TEXT_CLEAR_OK && found->last.value == CLEAR_VALUE) {
        verified = true;
        line = "verified: register 0x004A = 0";
    } else if (session.ops().outcome() == TEXT_CLEAR_OK) {
        line = "not verified: register 0x004A = " + ValueText(found->last.value);
    } else if (found->last.kind == FieldVerdict::Exception) {
        line = "not verified: the read was refused: " + ExceptionText(found->last.exceptionCode);
    } else {
        line = "not verified: no reply to the read";
    }
    return reporter.say(prefix + line) ? GO_ON : EXIT_USAGE_OR_PORT;
}

int RunClears(const ClearOptions& options, Session& session, ClearSessionIo& io)
{
    Reporter reporter(io, session);
    const bool showAddress = options.addresses.size() > 1;
    bool allCleared = true;

    for (const std::uint8_t address : options.addresses) {
        const int status = EndOfRun(session.run(address, RequestKind::ClearWrite, MAX_RETRY_COUNT), session);
        if (status != GO_ON)
            return status;

        const std::string prefix = AddressPrefix(showAddress, address);
        const FieldFindings& found = session.record().findings;
        const bool cleared = session.ops().outcome() == TEXT_CLEAR_OK;
        std::string line = prefix + session.ops().outcome();
        if (options.broadcast) {
            line = "Broadcast sent to address 0 (" + std::to_string(session.ops().writes()) +
                   " times): every inverter on the bus executes it, and no inverter answers a "
                   "broadcast, so none confirmed it.";
        } else if (!cleared) {
            allCleared = false;
            if (found.last.kind == FieldVerdict::Exception)
                io.err << "korvanel-clear: inverter " << static_cast<int>(address) << " refused the write: "
                       << ExceptionText(found.last.exceptionCode) << '\n';
        }
        reporter.noteEcho(found);
        if (!reporter.say(line))
            return EXIT_USAGE_OR_PORT;

        if (options.verify && cleared) {
            bool verified = false;
            const int verifyStatus = Verify(address, prefix, session, reporter, verified);
            if (verifyStatus != GO_ON)
                return verifyStatus;
            allCleared = allCleared && verified;
        }
    }
    return allCleared ? EXIT_ALL_CLEARED : EXIT_RUN_FAILED;
}

// A scan asks each address once and checks once, one period later: on a
// bus where a few of 247 addresses answer, the silent ones dominate, and
// the Clear's schedule (seven periods each) would take 247 * 7 periods.
// At --period 100 a scan of 1-247 takes about 25 s. A reply at 9600 baud
// takes under 10 ms, well inside one period.
constexpr std::uint8_t SCAN_RETRY_LIMIT = 0;

int RunScan(const ClearOptions& options, Session& session, ClearSessionIo& io)
{
    Reporter reporter(io, session);
    const auto started = Clock::now();
    unsigned answered = 0;
    for (const std::uint8_t address : options.addresses) {
        int status = GO_ON;
        const FieldFindings* found = ReadRun(address, SCAN_RETRY_LIMIT, session, reporter, status);
        if (!found)
            return status;
        std::string line;
        if (session.ops().outcome() == TEXT_CLEAR_OK)
            line = "0x004A = " + ValueText(found->last.value);
        else if (found->last.kind == FieldVerdict::Exception)
            line = ExceptionText(found->last.exceptionCode);
        else
            continue;
        ++answered;
        if (!reporter.say(AddressPrefix(true, address) + line))
            return EXIT_USAGE_OR_PORT;
    }
    char summary[128];
    std::snprintf(summary, sizeof summary, "scan: %zu addresses asked, %u answered, %.1f s\n",
                  options.addresses.size(), answered,
                  std::chrono::duration<double>(Clock::now() - started).count());
    io.err << summary;
    return answered > 0 ? EXIT_ALL_CLEARED : EXIT_RUN_FAILED;
}

} // namespace

int RunClearSession(const ClearOptions& options, ClearSessionIo& io)
{
    LinePort port;
    return RunClearSession(options, port, io);
}

int RunClearSession(const ClearOptions& options, RunPort& port, ClearSessionIo& io)
{
    SessionStats stats(options.stats);
    if (!PortReady(port.open(options.portName), port, io)) {
        port.close();
        return EXIT_USAGE_OR_PORT;
    }

    ClearTrace trace(options.trace ? &io.err : nullptr, io.start);
    Session session(options, port, io, trace, stats);
    const int status = options.scan ? RunScan(options, session, io) : RunClears(options, session, io);
    if (status == EXIT_INTERRUPTED)
        return status;
    session.close();
    stats.closed();
    stats.report(io.err);
    return status;
}

} // namespace korvanel
