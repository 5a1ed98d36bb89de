#include "run_driver.h"

#include <algorithm>

#include "hex_bytes.h"
#include "texts.h"

namespace korvanel {

namespace {

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

} // namespace

void TickQueue::post()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++pending_;
    }
    ready_.notify_one();
}

void TickQueue::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = 0;
}

bool TickQueue::take(Ms timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return pending_ > 0; }))
        return false;
    --pending_;
    return true;
}

void HeardBytes::add(const std::uint8_t* data, std::uint32_t count, Clock::time_point at)
{
    if (count == 0 || bytes.size() >= REPLY_WINDOW_LIMIT)
        return;
    bytes.insert(bytes.end(), data, data + count);
    arrivals.emplace_back(bytes.size(), at);
}

Clock::time_point HeardBytes::timeOf(std::size_t offset) const
{
    for (const auto& arrival : arrivals) {
        if (offset < arrival.first)
            return arrival.second;
    }
    return arrivals.empty() ? Clock::time_point{} : arrivals.back().second;
}

void CliTickOps::beginRun(std::uint8_t address)
{
    address_ = address;
    tick_ = 0;
    firstWrite_ = {};
    finished_ = false;
    heard_.clear();
}

bool CliTickOps::readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept)
{
    const bool completed = port_.readQueued(buffer, count, bytesKept);
    const std::uint32_t kept = completed ? bytesKept : 0;
    if (kept > 0) {
        lastHeard_ = clock_.now();
        heard_.add(buffer, kept, lastHeard_);
    }
    // Between ticks only input is worth a line: the slices are many.
    if (tick_ > 0 || kept > 0)
        trace_.gathered(traceAddress(), tick_, completed, buffer, kept, count);
    return completed;
}

void CliTickOps::writeFrame(const std::uint8_t* bytes, std::uint32_t count)
{
    WaitForSilence();
    port_.writeFrame(bytes, count);
    const PortStatus status = port_.status();
    const std::string problem =
        status.reason == PortStatus::Reason::WriteCutShort ? status.text : std::string();
    const auto now = clock_.now();
    // A frame that did not go out whole is not a request sent: no echo
    // of it comes, and it opens no reply window.
    lastWriteWhole_ = problem.empty();
    if (lastWriteWhole_ && firstWrite_ == Clock::time_point{})
        firstWrite_ = now;
    lastWrite_ = now;
    lastSentEnd_ = now + std::chrono::microseconds(LineTimeUs(port_.lineSettings(), count));
    trace_.sent(traceAddress(), tick_, bytes, count, problem);
}

// An RTU frame starts only after the line has been silent for 3.5
// characters: after our last frame has left and after the last byte
// heard. Bytes still arriving push the request back, a bounded number
// of times; they stay queued for the judgement.
void CliTickOps::WaitForSilence()
{
    const auto silence = std::chrono::microseconds(FrameSilenceUs(port_.lineSettings()));
    auto quietSince = std::max(lastSentEnd_, lastHeard_);
    std::uint32_t seen = port_.queuedByteCount();
    for (int wait = 0; wait < MAX_SILENCE_WAITS; ++wait) {
        clock_.sleepUntil(quietSince + silence);
        const std::uint32_t queued = port_.queuedByteCount();
        if (queued == seen && (wait > 0 || queued == 0))
            return;
        seen = queued;
        quietSince = clock_.now();
    }
}

bool PortReady(PortOpenResult result, RunPort& port, ClearSessionIo& io)
{
    if (result == PortOpenResult::Ok)
        return true;
    io.err << PortOpenFailureText(result) << ": " << port.status().text << '\n';
    return false;
}

Session::Session(const ClearOptions& options, RunPort& port, ClearSessionIo& io, ClearTrace& trace,
                 SessionStats& stats)
    : port_(port), io_(io), clock_(io.clock), dialogRules_(options.dialogRules), trace_(trace),
      stats_(stats), ops_(run_, port, clock_, trace, options.addresses.size() > 1),
      missingTick_(Ms(2 * EffectivePollPeriodMs(options.pollPeriodMs)) + MISSING_TICK_GRACE)
{
    run_.setPeriod(options.pollPeriodMs);
    run_.echo.learn(options.echo     ? LineEcho::Echoes
                    : options.noEcho ? LineEcho::NoEcho
                                     : LineEcho::Unknown);
}

// One whole run for `address`, ticked until it ends.
Session::RunEnd Session::run(std::uint8_t address, RequestKind kind, std::uint8_t retryLimit,
                             bool fallBack)
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
    auto lastTick = clock_.now();
    while (!ops_.finished()) {
        if (whileWaiting_)
            whileWaiting_();
        if (!tickDue)
            tickDue = ticks_.take(Ms(0));
        if (tickDue) {
            tickDue = false;
            lastTick = clock_.now();
            ops_.beginTick(++tick);
            // The handler's own time, which no session clock stands in for.
            const auto tickStart = std::chrono::steady_clock::now();
            OnClearTick(run_, ops_);
            stats_.tickHandled(std::chrono::steady_clock::now() - tickStart);
        } else if (clock_.now() - lastTick > missingTick_) {
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

bool Session::reopen(const PortAddress& address, const LineSettings& line)
{
    close();
    port_.setLineSettings(line);
    trace_.note("the port is opened again at " + line.text());
    return PortReady(port_.open(address), port_, io_);
}

// Whatever is queued now belongs to an earlier run (a late reply, an
// echo): it is never judged as this run's reply, but it is heard, so a
// scan can credit a late reply and a late copy of the probe still
// proves the echo.
void Session::DropStaleBytes(std::uint8_t address)
{
    const std::uint32_t queued = port_.queuedByteCount();
    if (queued == 0)
        return;
    std::uint8_t scratch[RX_SCRATCH_SIZE];
    std::uint32_t kept = 0;
    if (!port_.readQueued(scratch, queued, kept))
        return;
    ops_.heard().add(scratch, kept, clock_.now());
    run_.echo.heard(scratch, kept);
    if (trace_.enabled())
        trace_.note("addr " + std::to_string(address) + "  run start: " + std::to_string(queued) +
                    " stale bytes dropped: " + HexBytes(scratch, kept));
}

// The poll thread's rhythm runs free; a new thread starts a new one, so
// the checks come one full period after the request.
bool Session::RestartPacing()
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
bool Session::EndedByLostPort()
{
    if (!port_.lost())
        return false;
    close();
    if (!lossSaid_)
        io_.err << TEXT_PORT_LOST << port_.status().text << '\n';
    lossSaid_ = true;
    return true;
}

} // namespace korvanel
