#include "clear_session.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "clear_json.h"
#include "clear_run.h"
#include "hex_bytes.h"
#include "poll_thread.h"
#include "port_factory.h"
#include "settle_watch.h"

namespace korvanel {

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// A run with nothing to judge waits for its tick in slices this long, to
// notice a poll thread that stopped ticking.
constexpr Ms TICK_WAIT{20};
// Between ticks a field-rule run waits on the port in slices this long, so
// a tick is taken at most this late while every byte is judged on arrival.
constexpr Ms INPUT_SLICE{5};
// A run that has had no tick for two periods plus this long has lost its
// poll thread; it ends as failed rather than hanging.
constexpr Ms MISSING_TICK_GRACE{2000};
// Bytes that keep arriving may delay a request by at most this many
// silences; a line that never falls silent (noise) must not stop the run.
constexpr int MAX_SILENCE_WAITS = 8;

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
    bool take(Ms timeout)
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
    void add(const std::uint8_t* data, std::uint32_t count)
    {
        if (count == 0 || bytes.size() >= REPLY_WINDOW_LIMIT)
            return;
        bytes.insert(bytes.end(), data, data + count);
        arrivals.emplace_back(bytes.size(), Clock::now());
    }
    // When the byte at `offset` arrived.
    Clock::time_point timeOf(std::size_t offset) const
    {
        for (const auto& arrival : arrivals) {
            if (offset < arrival.first)
                return arrival.second;
        }
        return Clock::now();
    }
};

// The dialog's side of a tick, for a terminal: fields are already valid,
// results are recorded rather than shown, and the port stays open between
// the runs of one session. It stands between the tick and the port to trace
// what is gathered and sent, to keep what was heard, and to hold each
// request back until the line has been silent for a frame gap.
class CliTickOps : public ClearTickOps, private TickPort {
public:
    CliTickOps(ClearRun& run, RunPort& port, ClearTrace& trace, bool showAddress)
        : run_(run), port_(port), trace_(trace), showAddress_(showAddress)
    {}

    void beginRun(std::uint8_t address)
    {
        address_ = address;
        tick_ = 0;
        writes_ = 0;
        finished_ = false;
        outcome_ = Idle;
        heard_.clear();
    }
    // Tick 0 stands for input judged between ticks.
    void beginTick(unsigned tick) { tick_ = tick; }
    unsigned writes() const { return writes_; }
    bool finished() const { return finished_; }
    // Succeeded or Failed once the run has ended.
    RunState outcome() const { return outcome_; }
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
    void StopRun() override
    {
        // The engine names the outcome in runState just before it stops.
        const std::uint8_t state = run_.state();
        outcome_ = state == Succeeded ? Succeeded : Failed;
        run_.txLength = 0;
        run_.setState(Idle);
        finished_ = true;
    }
    void showResult(const std::string&) override { finished_ = true; }

    // A run that must end without its ticks (no tick came).
    void abandon()
    {
        outcome_ = Failed;
        run_.setState(Idle);
        finished_ = true;
    }

private:
    // TickPort: the real port's operations, the read and the write traced.
    std::uint32_t queuedByteCount() override { return port_.queuedByteCount(); }
    void prepareWriteEvent() override { port_.prepareWriteEvent(); }
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept) override
    {
        const bool completed = port_.readQueued(buffer, count, bytesKept);
        const std::uint32_t kept = completed ? bytesKept : 0;
        if (kept > 0) {
            heard_.add(buffer, kept);
            lastHeard_ = Clock::now();
        }
        // Between ticks only input is worth a line: the slices are many.
        if (tick_ > 0 || kept > 0)
            trace_.gathered(traceAddress(), tick_, completed, buffer, kept, count);
        return completed;
    }
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override
    {
        WaitForSilence();
        port_.writeFrame(bytes, count);
        const PortStatus status = port_.status();
        const std::string problem =
            status.reason == PortStatus::Reason::WriteCutShort ? status.text : "";
        const auto now = Clock::now();
        // A frame that did not go out whole is not a request sent: no echo
        // of it comes, and it opens no reply window.
        if (problem.empty() && writes_++ == 0)
            firstWrite_ = now;
        lastWrite_ = now;
        lastSentEnd_ = now + std::chrono::microseconds(LineTimeUs(port_.lineSettings(), count));
        trace_.sent(traceAddress(), tick_, bytes, count, problem);
    }

    // An RTU frame starts only after the line has been silent for 3.5
    // characters: after our last frame has left and after the last byte
    // heard. Bytes still arriving push the request back, a bounded number
    // of times; they stay queued for the judgement.
    void WaitForSilence()
    {
        const auto silence = std::chrono::microseconds(FrameSilenceUs(port_.lineSettings()));
        auto quietSince = std::max(lastSentEnd_, lastHeard_);
        std::uint32_t seen = port_.queuedByteCount();
        for (int wait = 0; wait < MAX_SILENCE_WAITS; ++wait) {
            std::this_thread::sleep_until(quietSince + silence);
            const std::uint32_t queued = port_.queuedByteCount();
            if (queued == seen && (wait > 0 || queued == 0))
                return;
            seen = queued;
            quietSince = Clock::now();
        }
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
    RunState outcome_ = Idle;
    HeardBytes heard_;
    Clock::time_point firstWrite_{};
    Clock::time_point lastWrite_{};
    Clock::time_point lastSentEnd_{};
    Clock::time_point lastHeard_{};
};

bool PortReady(PortOpenResult result, RunPort& port, ClearSessionIo& io)
{
    if (result == PortOpenResult::Ok)
        return true;
    io.err << PortOpenFailureText(result) << ": " << port.status().text << '\n';
    return false;
}

// What a session's runs share: the open port, the run record, the poll
// thread that paces it and the queue its ticks arrive on.
class Session {
public:
    // A stop signal never returns here: its handler gives the port back and
    // ends the process.
    enum class RunEnd { Finished, NoPacing, PortLost };

    Session(const ClearOptions& options, RunPort& port, ClearSessionIo& io, ClearTrace& trace,
            SessionStats& stats)
        : port_(port), io_(io), dialogRules_(options.dialogRules), trace_(trace), stats_(stats),
          ops_(run_, port, trace, options.addresses.size() > 1),
          missingTick_(Ms(2 * EffectivePollPeriodMs(options.pollPeriodMs)) + MISSING_TICK_GRACE)
    {
        run_.setPeriod(options.pollPeriodMs);
        run_.lineEcho = options.echo     ? LineEcho::Echoes
                        : options.noEcho ? LineEcho::NoEcho
                                         : LineEcho::Unknown;
    }
    ~Session() { poll_.stop(); }

    const ClearRun& record() const { return run_; }
    const CliTickOps& ops() const { return ops_; }
    bool succeeded() const { return ops_.outcome() == Succeeded; }
    LineEcho lineEcho() const { return run_.lineEcho; }
    void learnEcho(LineEcho echo) { run_.lineEcho = echo; }
    // From now on a copy of `request` anywhere proves the line echoes.
    void lookForProbeCopy(const std::uint8_t* request)
    {
        run_.probe.assign(request, request + REQUEST_LENGTH);
    }

    // One whole run for `address`, ticked until it ends.
    RunEnd run(std::uint8_t address, RequestKind kind, std::uint8_t retryLimit,
               bool fallBack = false)
    {
        // A connection closed right after the last run's answer: that run
        // was judged; this one cannot be sent.
        if (EndedByLostPort())
            return RunEnd::PortLost;
        ops_.beginRun(address);
        run_.fallBackToMultiple = fallBack;
        // The dialog has no read: a read is always judged by the field rule.
        const bool dialogRule = dialogRules_ && kind != RequestKind::ReadRegister;
        run_.replyRule = dialogRule ? ReplyRule::Dialog : ReplyRule::Field;
        run_.requestKind = kind;
        run_.retryLimit = retryLimit;
        port_.beginRun();
        DropStaleBytes(address);
        run_.setState(Armed);
        if (!RestartPacing())
            return RunEnd::NoPacing;

        // There is no button press to wait for: the request goes out at once.
        // Under the field rule every byte is judged as it arrives; the
        // dialog's rule judges on the ticks only, as the dialog does.
        bool tickDue = true;
        unsigned tick = 0;
        auto lastTick = Clock::now();
        while (!ops_.finished()) {
            if (!tickDue)
                tickDue = ticks_.take(Ms(0));
            if (tickDue) {
                tickDue = false;
                lastTick = Clock::now();
                ops_.beginTick(++tick);
                const auto tickStart = Clock::now();
                OnClearTick(run_, ops_);
                stats_.tickHandled(Clock::now() - tickStart);
            } else if (Clock::now() - lastTick > missingTick_) {
                trace_.note("no tick came; the run is abandoned");
                io_.err << "No tick for " << missingTick_.count() << " ms: the run is abandoned.\n";
                ops_.abandon();
            } else if (!dialogRule && run_.state() == Waiting) {
                if (port_.waitForInput(INPUT_SLICE)) {
                    ops_.beginTick(0);
                    OnReplyInput(run_, ops_);
                }
            } else {
                tickDue = ticks_.take(TICK_WAIT);
            }
            if (port_.lost() && !ops_.finished()) {
                // What arrived before the loss is judged first: a gateway
                // that closes after each answer has answered.
                if (!dialogRule && run_.state() == Waiting) {
                    ops_.beginTick(0);
                    OnReplyInput(run_, ops_);
                }
                if (!ops_.finished() && EndedByLostPort())
                    return RunEnd::PortLost;
            }
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

    // The port again under other line settings (a scan tries each); false,
    // said on standard error, when it does not open.
    bool reopen(const PortAddress& address, const LineSettings& line)
    {
        close();
        port_.setLineSettings(line);
        trace_.note("the port is opened again at " + line.text());
        return PortReady(port_.open(address), port_, io_);
    }
    const LineSettings& lineSettings() const { return port_.lineSettings(); }
    bool lost() const { return port_.lost(); }
    std::string lostReason() const { return port_.status().text; }
    std::vector<std::string> takePortNotes() { return port_.takeNotes(); }
    // A loss after the last run's answer, said as a note: nothing was cut
    // off. Empty when the port was not lost or the loss was said already.
    std::string unsaidLoss() const
    {
        return port_.lost() && !lossSaid_ ? "after the last answer: " + port_.status().text
                                          : std::string();
    }

private:
    // Whatever is queued now belongs to an earlier run (a late reply, an
    // echo): it is never judged as this run's reply, but it is heard, so a
    // scan can credit a late reply and a late copy of the probe still
    // proves the echo.
    void DropStaleBytes(std::uint8_t address)
    {
        const std::uint32_t queued = port_.queuedByteCount();
        if (queued == 0)
            return;
        std::uint8_t scratch[RX_SCRATCH_SIZE];
        std::uint32_t kept = 0;
        if (!port_.readQueued(scratch, queued, kept))
            return;
        ops_.heard().add(scratch, kept);
        if (run_.lineEcho != LineEcho::Echoes && run_.probe.size() == REQUEST_LENGTH &&
            CountCopies(scratch, kept, run_.probe.data(), REQUEST_LENGTH) > 0)
            run_.lineEcho = LineEcho::Echoes;
        if (trace_.enabled())
            trace_.note("addr " + std::to_string(address) +
                        "  run start: " + std::to_string(queued) +
                        " stale bytes dropped: " + HexBytes(scratch, kept));
    }

    // The poll thread's rhythm runs free; a new thread starts a new one, so
    // the checks come one full period after the request.
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

    // An unplugged adapter or a hung-up line: nothing more can be sent or
    // heard, so the whole session ends now rather than spending eight
    // periods on the run in progress and on every address left. No outcome
    // line is printed for the run in progress: it did not end, it was cut off.
    bool EndedByLostPort()
    {
        if (!port_.lost())
            return false;
        close();
        if (!lossSaid_)
            io_.err << TEXT_PORT_LOST << port_.status().text << '\n';
        lossSaid_ = true;
        return true;
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
    const Ms missingTick_;
    bool lossSaid_ = false;
};

// An exit status, or "go on" while the session's runs continue.
constexpr int GO_ON = -1;

int EndOfRun(Session::RunEnd end, Session& session)
{
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

long MsSince(Clock::time_point then)
{
    return static_cast<long>(std::chrono::duration_cast<Ms>(Clock::now() - then).count());
}

// The runs of one invocation and what they tell the user: text lines, or
// with --json one object per address and a summary.
class Runs {
public:
    Runs(const ClearOptions& options, Session& session, ClearSessionIo& io, ClearTrace& trace)
        : options_(options), session_(session), io_(io), trace_(trace), reporter_(io),
          showAddress_(options.addresses.size() > 1), started_(Clock::now())
    {}

    int clears();
    int scan();

private:
    int run(std::uint8_t address, RequestKind kind, std::uint8_t retryLimit, bool fallBack = false)
    {
        int status = EndOfRun(session_.run(address, kind, retryLimit, fallBack), session_);
        record_.requests += session_.ops().writes();
        for (const std::string& text : session_.takePortNotes())
            note(text);
        if (status == GO_ON && session_.lineEcho() == LineEcho::Echoes && !options_.echo &&
            !echoAssumed_)
            noteEcho();
        if (status == EXIT_USAGE_OR_PORT && session_.lost()) {
            // Cut off: no text line, but a script reading objects learns why.
            lost_ = true;
            // A clear that was taken stays cleared: only its read back was
            // cut off.
            if (record_.outcome == "cleared")
                record_.readOutcome = "lost";
            else
                record_.outcome = "lost";
            record_.notes.push_back(TEXT_PORT_LOST + session_.lostReason());
            emit();
        }
        return status;
    }
    // An outcome line; with --json the object says it instead.
    bool say(const std::string& line)
    {
        if (options_.json)
            return true;
        return write(line);
    }
    bool write(const std::string& line)
    {
        if (reporter_.say(line))
            return true;
        session_.close();
        return false;
    }
    // Said on standard error and kept in the address's object.
    void note(const std::string& text)
    {
        reporter_.note(text);
        record_.notes.push_back(text);
    }
    void noteEcho()
    {
        reporter_.noteEcho();
        if (echoRecorded_)
            return;
        echoRecorded_ = true;
        record_.notes.push_back("echo learned: the line echoes our requests");
    }
    void begin(std::uint8_t address)
    {
        record_ = AddressRecord{};
        record_.address = address;
        record_.settings = session_.lineSettings().text();
        addressStarted_ = Clock::now();
    }
    // `stamp`: the address's time is from its begin() to now; a scan adds
    // up the reads of each address itself.
    bool emit(bool stamp = true)
    {
        if (!options_.json)
            return true;
        if (stamp)
            record_.elapsedMs = MsSince(addressStarted_);
        return write(JsonLine(record_));
    }
    int summary(const char* mode, unsigned succeeded, std::vector<std::string> settings, int status)
    {
        mode_ = mode;
        succeeded_ = succeeded;
        if (!options_.json || (status == EXIT_USAGE_OR_PORT && !lost_))
            return status;
        const SummaryRecord summary{mode,
                                    static_cast<unsigned>(options_.addresses.size()),
                                    succeeded,
                                    MsSince(started_),
                                    std::move(settings),
                                    status};
        return write(JsonLine(summary)) ? status : EXIT_USAGE_OR_PORT;
    }

public:
    // The session ends: a lost port still gets its summary object (the
    // objects promise one in every mode), and a loss after the last answer
    // is said as a note, since nothing was cut off.
    int finish(int status)
    {
        if (lost_)
            return summary(mode_, succeeded_, {session_.lineSettings().text()}, status);
        const std::string loss = session_.unsaidLoss();
        if (!loss.empty())
            reporter_.note(loss);
        return status;
    }

private:
    int probeEcho(std::uint8_t address);
    int write(std::uint8_t address);
    void noteExceptions(std::uint8_t address);
    std::string readFailure(std::uint8_t address);
    int verify(std::uint8_t address, const std::string& prefix, bool& verified);
    int settle(std::uint8_t address, const std::string& prefix, bool& verified);

    // What a scan has found so far.
    struct ScanTally {
        std::map<std::uint8_t, AddressRecord> records;
        // Addresses that have not answered at any settings yet.
        std::vector<std::uint8_t> left;
        // The settings inverters answered at, with how many, in the order found.
        std::vector<std::pair<std::string, unsigned>> found;
        std::string tried;
        unsigned answered = 0;
        // Of those answered, the busy ones; and addresses a gateway said it
        // could not reach.
        unsigned busy = 0;
        unsigned unreachable = 0;
        bool severalSettings = false;
    };
    bool scanAnswered(ScanTally& tally, std::uint8_t address, const ReadAnswer& answer,
                      const std::string& late);
    int scanAtCurrentSettings(ScanTally& tally);
    int scanSummary(const ScanTally& tally, Clock::time_point started);

    const ClearOptions& options_;
    Session& session_;
    ClearSessionIo& io_;
    ClearTrace& trace_;
    Reporter reporter_;
    const bool showAddress_;
    const Clock::time_point started_;
    AddressRecord record_;
    Clock::time_point addressStarted_{};
    bool echoRecorded_ = false;
    // The probe could not tell; the line is judged as if it echoed.
    bool echoAssumed_ = false;
    // Kept for the summary a lost port still gets.
    bool lost_ = false;
    const char* mode_ = "clear";
    unsigned succeeded_ = 0;
};

// Before the session's first write: does the line give our requests back?
// The first frame is a read of register 0x004A, whose reply differs from
// its request, so a copy of it is always the echo. The read is answered or
// given one period before the write goes out, which keeps the bus free of a
// second request while the inverter may still be answering. A copy that
// noise or a glitch spoiled settles nothing: the read is asked again, and a
// line still not known is judged as if it echoed, since taking an echo for
// a reply would be a false Clear. Noise alone says nothing of an echo.
constexpr int PROBE_ATTEMPTS = 3;

int Runs::probeEcho(std::uint8_t address)
{
    constexpr std::uint8_t probeRetryLimit = 0;
    for (int attempt = 1; attempt <= PROBE_ATTEMPTS; ++attempt) {
        const int status = run(address, RequestKind::ReadRegister, probeRetryLimit);
        if (status != GO_ON)
            return status;
        const ClearRun& record = session_.record();
        const ProbeEcho found =
            ReadProbeWindow(record.frame.tx(), record.window.data(), record.window.size());
        std::string before;
        if (session_.succeeded()) {
            before = RegisterText() + " = " + ValueText(record.findings.last.value) +
                     " before the clear";
            // A script reading the objects sees it too, once.
            if (std::find(record_.notes.begin(), record_.notes.end(), before) ==
                record_.notes.end())
                record_.notes.push_back(before);
            before = "; " + before;
        }
        if (session_.lineEcho() == LineEcho::Echoes || found.copies > 0) {
            session_.learnEcho(LineEcho::Echoes);
            noteEcho();
            trace_.note("probe: our request came back: an echoing line" + before);
            return GO_ON;
        }
        if (!found.nearCopy) {
            session_.learnEcho(LineEcho::NoEcho);
            // A slow adapter's copy may still come: it proves the echo
            // wherever it lands.
            session_.lookForProbeCopy(record.frame.tx());
            trace_.note("probe: no copy of our request came back: the line does not echo" + before);
            return GO_ON;
        }
        trace_.note("probe: what came back is our read spoiled (" +
                    CountOf(found.unexplained, "byte", "bytes") +
                    " neither the read nor its answer); asked again");
    }
    session_.learnEcho(LineEcho::Echoes);
    echoAssumed_ = true;
    note("the line gave back our read spoiled by noise each time, so whether it echoes is not "
         "known for sure; it is judged as if it echoed (give --no-echo if it does not)");
    return GO_ON;
}

// The clear of one address with the function asked for: 0x06, 0x10, or
// 0x06 with 0x10 on the next request tick when the inverter lacks 0x06.
int Runs::write(std::uint8_t address)
{
    using F = ClearOptions::WriteFunction;
    const RequestKind kind = options_.function == F::Multiple ? RequestKind::ClearWriteMultiple
                                                              : RequestKind::ClearWrite;
    const int status = run(address, kind, MAX_RETRY_COUNT, options_.function == F::Auto);
    if (status == GO_ON && session_.record().findings.fellBack)
        note("inverter " + std::to_string(address) +
             " does not take function 0x06; written with 0x10");
    return status;
}

// What the inverter or a gateway said that was not the outcome itself.
void Runs::noteExceptions(std::uint8_t address)
{
    const FieldFindings& found = session_.record().findings;
    const std::string inverter = "inverter " + std::to_string(address);
    for (const char code : found.passingExceptions) {
        const auto c = static_cast<std::uint8_t>(code);
        if (MeaningOf(c) == ExceptionMeaning::Busy)
            note(inverter + " is busy: " + ExceptionText(c) + "; it is asked again");
        else
            note("the gateway answered for " + inverter + ": " + ExceptionText(c) +
                 "; that is the gateway's trouble, not the inverter's answer");
    }
    if (found.acknowledged) {
        std::string line =
            inverter + " took the write with " + ExceptionText(EXCEPTION_ACKNOWLEDGE);
        if (session_.succeeded())
            line += " and a read back found " + RegisterText() + " = 0";
        else if (found.valueRead)
            line += ", but " + RegisterText() + " still reads " +
                    ValueText(found.valueAfterAcknowledge);
        else
            line += ", but it did not answer the read back";
        note(line);
    } else if (!session_.succeeded() && found.last.kind == FieldVerdict::Exception) {
        note(inverter + " refused the write: " + ExceptionText(found.last.exceptionCode));
        // Some models take only Write Multiple Registers.
        if (found.last.exceptionCode == EXCEPTION_ILLEGAL_FUNCTION &&
            options_.function == ClearOptions::WriteFunction::Single)
            note("an inverter that takes only function 0x10 answers 0x06 so: give --function auto");
    }
}

// Why a read gave no value: refused, busy, a gateway's trouble or silence,
// told apart in the address's object too.
std::string Runs::readFailure(std::uint8_t address)
{
    const FieldFindings& found = session_.record().findings;
    const std::string inverter = "inverter " + std::to_string(address);
    record_.readException = 0;
    if (found.last.kind == FieldVerdict::Exception) {
        record_.readOutcome = "refused";
        record_.readException = found.last.exceptionCode;
        return "the read was refused: " + ExceptionText(found.last.exceptionCode);
    }
    if (found.passingExceptions.empty()) {
        record_.readOutcome = "no reply";
        return "no reply to the read";
    }
    const std::uint8_t code = found.passingExceptions.back();
    record_.readException = code;
    if (MeaningOf(code) == ExceptionMeaning::Busy) {
        record_.readOutcome = "busy";
        return inverter + " is busy: " + ExceptionText(code);
    }
    record_.readOutcome = "gateway";
    return "the gateway answered for " + inverter + ": " + ExceptionText(code);
}

// The read that proves a Clear: the same schedule as the Clear, so a slow
// or noisy line gets as many chances to answer it.
int Runs::verify(std::uint8_t address, const std::string& prefix, bool& verified)
{
    if (options_.settleSeconds > 0)
        return settle(address, prefix, verified);
    const int status = run(address, RequestKind::ReadRegister, MAX_RETRY_COUNT);
    if (status != GO_ON)
        return status;
    if (session_.succeeded())
        record_.readOutcome = "value";
    const FieldVerdict& last = session_.record().findings.last;
    std::string line;
    verified = session_.succeeded() && last.value == CLEAR_VALUE;
    record_.hasVerified = true;
    record_.verified = verified;
    record_.hasValue = session_.succeeded();
    record_.value = last.value;
    if (verified)
        line = "verified: " + RegisterText() + " = 0";
    else if (session_.succeeded())
        line = "not verified: " + RegisterText() + " = " + ValueText(last.value);
    else
        line = "not verified: " + readFailure(address);
    return say(prefix + line) ? GO_ON : EXIT_USAGE_OR_PORT;
}

// --settle: a read every period, from the write until the register reads
// 0 and then until the span has passed since the write, so a value stored
// late passes and one put back fails.
int Runs::settle(std::uint8_t address, const std::string& prefix, bool& verified)
{
    const Clock::time_point written = session_.ops().lastWrite();
    const Ms period(EffectivePollPeriodMs(options_.pollPeriodMs));
    SettleWatch watch(options_.settleSeconds);
    std::string line;
    record_.hasVerified = true;
    for (auto next = Clock::now();; next += period) {
        std::this_thread::sleep_until(next);
        const int status = run(address, RequestKind::ReadRegister, MAX_RETRY_COUNT);
        if (status != GO_ON)
            return status;
        const FieldVerdict& last = session_.record().findings.last;
        if (!session_.succeeded()) {
            line = "not verified: " + readFailure(address);
            break;
        }
        record_.readOutcome = "value";
        record_.readException = 0;
        record_.hasValue = true;
        record_.value = last.value;
        if (!watch.read(last.value,
                        std::chrono::duration<double>(Clock::now() - written).count())) {
            line = watch.line();
            break;
        }
        // A read slower than a period takes the next at once.
        next = std::max(next, Clock::now() - period);
    }
    verified = watch.verified();
    record_.verified = verified;
    return say(prefix + line) ? GO_ON : EXIT_USAGE_OR_PORT;
}

int Runs::clears()
{
    // Reads are never ambiguous, a broadcast is never judged and the
    // dialog's rule has no echo: only a field-rule write needs to know.
    bool probe =
        session_.lineEcho() == LineEcho::Unknown && !options_.dialogRules && !options_.broadcast;
    bool allCleared = true;
    mode_ = options_.broadcast ? "broadcast" : options_.verify ? "verify" : "clear";
    for (const std::uint8_t address : options_.addresses) {
        begin(address);
        if (probe) {
            probe = false;
            const int status = probeEcho(address);
            if (status != GO_ON)
                return status;
        }
        const int status = write(address);
        if (status != GO_ON)
            return status;

        const std::string prefix = AddressPrefix(showAddress_, address);
        const bool cleared = session_.succeeded();
        const FieldVerdict& last = session_.record().findings.last;
        std::string line = prefix + (cleared ? TEXT_CLEAR_OK : TEXT_OPERATION_FAIL);
        if (options_.broadcast) {
            record_.outcome = "broadcast";
            line = "Broadcast sent to address 0 (" +
                   CountOf(session_.ops().writes(), "time", "times") +
                   "): every inverter on the bus executes it, and no inverter answers a "
                   "broadcast, so none confirmed it.";
        } else {
            allCleared = allCleared && cleared;
            record_.outcome = cleared                                ? "cleared"
                              : last.kind == FieldVerdict::Exception ? "refused"
                                                                     : "failed";
            if (!cleared && last.kind == FieldVerdict::Exception)
                record_.exceptionCode = last.exceptionCode;
            noteExceptions(address);
        }
        if (!say(line))
            return EXIT_USAGE_OR_PORT;

        bool verified = true;
        if (options_.verify && cleared) {
            const int verifyStatus = verify(address, prefix, verified);
            if (verifyStatus != GO_ON)
                return verifyStatus;
            allCleared = allCleared && verified;
        }
        if (!emit())
            return EXIT_USAGE_OR_PORT;
        succeeded_ += (cleared && verified) || options_.broadcast ? 1 : 0;
    }
    return summary(mode_, succeeded_, {session_.lineSettings().text()},
                   allCleared ? EXIT_ALL_CLEARED : EXIT_RUN_FAILED);
}

// "0x004A = 4660 (0x1234)" or "exception 02 (illegal data address)".
std::string ReadAnswerText(bool exception, std::uint8_t code, std::uint16_t value)
{
    if (exception)
        return ExceptionText(code);
    char head[16];
    std::snprintf(head, sizeof head, "0x%04X = ", static_cast<unsigned>(CLEAR_REGISTER));
    return head + ValueText(value);
}

// A scan asks each address once and checks once, one period later: on a
// bus where a few of 247 addresses answer, the silent ones dominate, and
// the Clear's schedule (seven periods each) would take 247 * 7 periods.
// An answer is taken the moment it is in. One that comes after its check,
// while a later address is being asked, is still credited, marked late.
// With several line settings each is tried in turn on the addresses that
// have not answered yet; an answering address says its settings.
constexpr std::uint8_t SCAN_RETRY_LIMIT = 0;

bool Runs::scanAnswered(ScanTally& tally, std::uint8_t address, const ReadAnswer& answer,
                        const std::string& late)
{
    const std::string settings = session_.lineSettings().text();
    const ExceptionMeaning meaning =
        answer.exception ? MeaningOf(answer.exceptionCode) : ExceptionMeaning::Refusal;
    if (answer.exception && meaning == ExceptionMeaning::Gateway) {
        // The gateway's word, not the inverter's: the address stays silent
        // unless the inverter itself answers later.
        AddressRecord& gateway = tally.records[address];
        if (gateway.outcome.empty())
            ++tally.unreachable;
        gateway.outcome = "gateway";
        gateway.exceptionCode = answer.exceptionCode;
        return true;
    }
    if (tally.records[address].outcome == "gateway")
        --tally.unreachable;
    record_ = tally.records[address];
    record_.address = address;
    const bool busy = answer.exception && meaning == ExceptionMeaning::Busy;
    record_.outcome = busy ? "busy" : "answered";
    tally.busy += busy ? 1 : 0;
    record_.exceptionCode = answer.exception ? answer.exceptionCode : 0;
    record_.hasValue = !answer.exception;
    record_.value = answer.value;
    record_.settings = settings;
    if (!late.empty())
        record_.notes.push_back(late);
    tally.left.erase(std::remove(tally.left.begin(), tally.left.end(), address), tally.left.end());
    auto at = std::find_if(tally.found.begin(), tally.found.end(),
                           [&](const auto& f) { return f.first == settings; });
    if (at == tally.found.end())
        at = tally.found.insert(tally.found.end(), {settings, 0});
    ++at->second;
    succeeded_ = ++tally.answered;
    // A busy inverter is there: it answered, only not with the value.
    const std::string line = AddressPrefix(true, address) + (busy ? "busy: " : "") +
                             ReadAnswerText(answer.exception, answer.exceptionCode, answer.value) +
                             (tally.severalSettings ? " at " + settings : "") +
                             (late.empty() ? "" : ", " + late);
    return say(line) && emit(false);
}

int Runs::scanAtCurrentSettings(ScanTally& tally)
{
    // Addresses asked at these settings and not yet answered, with when
    // they were asked.
    std::vector<std::pair<std::uint8_t, Clock::time_point>> waiting;
    for (const std::uint8_t address : std::vector<std::uint8_t>(tally.left)) {
        begin(address);
        record_.requests = tally.records[address].requests;
        const int status = run(address, RequestKind::ReadRegister, SCAN_RETRY_LIMIT);
        tally.records[address].requests = record_.requests;
        tally.records[address].elapsedMs += MsSince(addressStarted_);
        if (status != GO_ON)
            return status;
        // Answers of addresses asked before that came while this one was.
        const HeardBytes& heard = session_.ops().heard();
        for (const ReadAnswer& late : FindReadAnswers(heard.bytes.data(), heard.bytes.size())) {
            const auto asked = std::find_if(waiting.begin(), waiting.end(),
                                            [&](const auto& w) { return w.first == late.address; });
            if (asked == waiting.end())
                continue;
            const auto lateMs =
                std::chrono::duration_cast<Ms>(heard.timeOf(late.endOffset) - asked->second);
            waiting.erase(asked);
            if (!scanAnswered(tally, late.address, late,
                              "late: " + std::to_string(lateMs.count()) +
                                  " ms; a longer --period finds it in time"))
                return EXIT_USAGE_OR_PORT;
        }
        const FieldFindings& found = session_.record().findings;
        const FieldVerdict& last = found.last;
        ReadAnswer answer;
        answer.exception = !session_.succeeded();
        answer.exceptionCode = last.exceptionCode;
        if (!session_.succeeded() && last.kind != FieldVerdict::Exception) {
            // Busy or a gateway's exception: no value, but an answer of a kind.
            if (!found.passingExceptions.empty()) {
                answer.exceptionCode = found.passingExceptions.back();
                if (!scanAnswered(tally, address, answer, ""))
                    return EXIT_USAGE_OR_PORT;
                if (tally.records[address].outcome != "gateway")
                    continue;
            }
            waiting.emplace_back(address, session_.ops().firstWrite());
            continue;
        }
        answer.value = last.value;
        if (!scanAnswered(tally, address, answer, ""))
            return EXIT_USAGE_OR_PORT;
    }
    return GO_ON;
}

int Runs::scanSummary(const ScanTally& tally, Clock::time_point started)
{
    char took[32];
    std::snprintf(took, sizeof took, "%.1f s",
                  std::chrono::duration<double>(Clock::now() - started).count());
    io_.err << "scan: " << CountOf(options_.addresses.size(), "address", "addresses") << " asked";
    if (tally.severalSettings)
        io_.err << " at " << CountOf(options_.lineSettings.size(), "line setting", "line settings");
    io_.err << ", " << tally.answered << " answered";
    if (tally.busy > 0)
        io_.err << " (" << tally.busy << " busy)";
    io_.err << ", " << took;
    if (tally.unreachable > 0)
        io_.err << "; a gateway could not reach "
                << CountOf(tally.unreachable, "address", "addresses");
    std::vector<std::string> settingsFound;
    if (tally.severalSettings) {
        io_.err << "; settings found: ";
        for (const auto& f : tally.found) {
            io_.err << (settingsFound.empty() ? "" : ", ") << f.first << " ("
                    << CountOf(f.second, "address", "addresses") << ")";
            settingsFound.push_back(f.first);
        }
        if (tally.found.empty())
            io_.err << "none";
    } else if (tally.answered > 0) {
        settingsFound.push_back(session_.lineSettings().text());
    }
    io_.err << '\n';
    return summary("scan", tally.answered, settingsFound,
                   tally.answered > 0 ? EXIT_ALL_CLEARED : EXIT_RUN_FAILED);
}

int Runs::scan()
{
    mode_ = "scan";
    const auto started = Clock::now();
    ScanTally tally;
    tally.left = options_.addresses;
    tally.severalSettings = options_.lineSettings.size() > 1;
    for (std::size_t s = 0; s < options_.lineSettings.size() && !tally.left.empty(); ++s) {
        if (s > 0 && !session_.reopen(options_.port, options_.lineSettings[s]))
            return EXIT_USAGE_OR_PORT;
        tally.tried += (tally.tried.empty() ? "" : ", ") + session_.lineSettings().text();
        const int status = scanAtCurrentSettings(tally);
        if (status != GO_ON)
            return status;
    }
    // Every address's object: answered ones were written as they answered,
    // the silent ones come now.
    for (const std::uint8_t address : tally.left) {
        record_ = tally.records[address];
        record_.address = address;
        if (record_.outcome.empty())
            record_.outcome = "silent";
        record_.settings = tally.tried;
        if (!emit(false))
            return EXIT_USAGE_OR_PORT;
    }
    return scanSummary(tally, started);
}

} // namespace

int RunClearSession(const ClearOptions& options, ClearSessionIo& io)
{
    const std::unique_ptr<RunPort> port = MakePort(options.port);
    return RunClearSession(options, *port, io);
}

int RunClearSession(const ClearOptions& options, RunPort& port, ClearSessionIo& io)
{
    SessionStats stats(options.stats);
    port.setLineSettings(options.lineSettings.front());
    if (!PortReady(port.open(options.port), port, io)) {
        port.close();
        return EXIT_USAGE_OR_PORT;
    }

    ClearTrace trace(options.trace ? &io.err : nullptr, io.start);
    Session session(options, port, io, trace, stats);
    Runs runs(options, session, io, trace);
    const int status = runs.finish(options.scan ? runs.scan() : runs.clears());
    session.close();
    stats.closed();
    stats.report(io.err);
    return status;
}

} // namespace korvanel
