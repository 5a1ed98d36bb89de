// The run driver of korvanel-clear: the port opened once per session, the
// engine's run record paced by the poll thread, and the dialog's side of a
// tick for a terminal. It runs one whole Clear (or read) at a time and
// leaves its verdict in the run record; it words nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "clear_options.h"
#include "clear_run.h"
#include "poll_thread.h"
#include "run_port.h"
#include "session_report.h"

namespace korvanel {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// The queue the poll thread posts ticks to; the main thread takes them.
class TickQueue {
public:
    void post();
    // Ticks of a poll thread that has been replaced are dropped.
    void clear();
    // True when a tick was taken before `timeout`.
    bool take(Ms timeout);

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    unsigned pending_ = 0;
};

// Every byte a run heard, with when it came: a scan finds the late replies
// of addresses asked before in it.
struct HeardBytes {
    std::vector<std::uint8_t> bytes;
    // (end offset, time) of each read that brought bytes.
    std::vector<std::pair<std::size_t, Clock::time_point>> arrivals;

    void clear()
    {
        bytes.clear();
        arrivals.clear();
    }
    void add(const std::uint8_t* data, std::uint32_t count, Clock::time_point at);
    // When the byte at `offset` arrived.
    Clock::time_point timeOf(std::size_t offset) const;
};

// The dialog's side of a tick, for a terminal: fields are already valid,
// results are recorded rather than shown, and the port stays open between
// the runs of one session. It stands between the tick and the port to trace
// what is gathered and sent, to keep what was heard, and to hold each
// request back until the line has been silent for a frame gap.
class CliTickOps : public ClearTickOps, private TickPort {
public:
    CliTickOps(ClearRun& run, RunPort& port, SessionClock& clock, ClearTrace& trace,
               bool showAddress)
        : run_(run), port_(port), clock_(clock), trace_(trace), showAddress_(showAddress)
    {}

    void beginRun(std::uint8_t address);
    // Tick 0 stands for input judged between ticks.
    void beginTick(unsigned tick) { tick_ = tick; }
    bool finished() const { return finished_; }
    const HeardBytes& heard() const { return heard_; }
    HeardBytes& heard() { return heard_; }
    Clock::time_point firstWrite() const { return firstWrite_; }
    Clock::time_point lastWrite() const { return lastWrite_; }

    TickPort& port() override { return *this; }
    std::uint8_t* rxScratch() override { return scratch_; }
    bool exchangeFieldsFromControls() override { return true; }
    std::uint32_t inverterAddress() const override { return address_; }
    void setResultText(const std::string&) override {}
    void exchangeFieldsToControls() override {}
    // The engine has recorded its verdict in the run before it stops.
    void StopRun() override
    {
        run_.txLength = 0;
        run_.setState(Idle);
        finished_ = true;
    }
    void showResult(const std::string&) override {}

    // A run that must end without its ticks (no tick came): it stays
    // without a verdict.
    void abandon()
    {
        run_.verdict = RunVerdict{};
        StopRun();
    }

private:
    // TickPort: the real port's operations, the read and the write traced.
    std::uint32_t queuedByteCount() override { return port_.queuedByteCount(); }
    void prepareWriteEvent() override { port_.prepareWriteEvent(); }
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept) override;
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override;
    bool lastWriteWhole() const override { return lastWriteWhole_; }
    void WaitForSilence();

    int traceAddress() const { return showAddress_ ? address_ : -1; }

    ClearRun& run_;
    RunPort& port_;
    SessionClock& clock_;
    ClearTrace& trace_;
    bool showAddress_;
    std::uint8_t scratch_[RX_SCRATCH_SIZE] = {};
    std::uint8_t address_ = 0;
    unsigned tick_ = 0;
    bool lastWriteWhole_ = true;
    bool finished_ = false;
    HeardBytes heard_;
    Clock::time_point firstWrite_{};
    Clock::time_point lastWrite_{};
    Clock::time_point lastSentEnd_{};
    Clock::time_point lastHeard_{};
};

// Says on standard error why the port did not open; true when it did.
bool PortReady(PortOpenResult result, RunPort& port, ClearSessionIo& io);

// What a session's runs share: the open port, the run record, the poll
// thread that paces it and the queue its ticks arrive on.
class Session {
public:
    // A stop signal never returns here: its handler gives the port back and
    // ends the process.
    enum class RunEnd { Finished, NoPacing, PortLost };

    Session(const ClearOptions& options, RunPort& port, ClearSessionIo& io, ClearTrace& trace,
            SessionStats& stats);
    ~Session() { poll_.stop(); }

    // The engine's record of the last run, its verdict with it.
    const ClearRun& lastRun() const { return run_; }
    const RunVerdict& verdict() const { return run_.verdict; }
    bool succeeded() const { return run_.verdict.accepted(); }
    const CliTickOps& ops() const { return ops_; }
    SessionClock& clock() { return clock_; }
    // Requests of the last run that went out whole.
    unsigned requestsSent() const { return run_.echo.runSends(); }
    LineEcho lineEcho() const { return run_.echo.state(); }
    EchoTracker& echo() { return run_.echo; }

    // One whole run for `address`, ticked until it ends.
    RunEnd run(std::uint8_t address, RequestKind kind, std::uint8_t retryLimit,
               bool fallBack = false);

    void close()
    {
        run_.setState(Idle);
        poll_.stop();
        port_.close();
    }
    // The port again under other line settings (a scan tries each); false,
    // said on standard error, when it does not open.
    bool reopen(const PortAddress& address, const LineSettings& line);
    const LineSettings& lineSettings() const { return port_.lineSettings(); }
    bool lost() const { return port_.lost(); }
    std::string lostReason() const { return port_.status().text; }
    std::vector<std::string> takePortNotes() { return port_.takeNotes(); }
    SerialDriverState driverState() const { return port_.driverState(); }
    // A loss after the last run's answer, said as a note: nothing was cut
    // off. Empty when the port was not lost or the loss was said already.
    std::string unsaidLoss() const
    {
        return port_.lost() && !lossSaid_ ? "after the last answer: " + port_.status().text
                                          : std::string();
    }

private:
    void DropStaleBytes(std::uint8_t address);
    bool RestartPacing();
    bool EndedByLostPort();

    RunPort& port_;
    ClearSessionIo& io_;
    SessionClock& clock_;
    const bool dialogRules_;
    ClearTrace& trace_;
    SessionStats& stats_;
    ClearRun run_;
    CliTickOps ops_;
    TickQueue ticks_;
    PollThread poll_;
    const Ms missingTick_;
    bool lossSaid_ = false;
};

} // namespace korvanel
