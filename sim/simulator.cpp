#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "hex_bytes.h"
#include "inverter.h"
#include "process_setup.h"

namespace korvanel {

namespace {

using Clock = SimClock;

// The write end of the stop pipe, for the signal handler; -1 while there is
// none.
volatile sig_atomic_t g_stopWriteFd = -1;

void OnStopSignal(int)
{
    const char byte = 1;
    // Nothing to do if the pipe is full: a wake-up is already pending.
    const ssize_t ignored = ::write(g_stopWriteFd, &byte, 1);
    (void)ignored;
}

// What WaitUntil found readable.
constexpr int LINE_READABLE = 1;
constexpr int STOP_ASKED = 2;

// What an inverter at `baud` makes of a frame sent at another speed: noise.
FrameOutcome Unheard(std::uint32_t baud)
{
    FrameOutcome outcome;
    outcome.note = "the line is not at " + std::to_string(baud) + " baud: noise to us, ignored";
    return outcome;
}

class Log {
public:
    Log(bool quiet, Clock::time_point start) : quiet_(quiet), start_(start) {}
    void line(const char* dir, const FrameBytes& bytes, const std::string& note) const
    {
        if (quiet_)
            return;
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
        std::fprintf(stderr, "%10.1f ms  %s  %s%s%s\n", ms, dir,
                     HexBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size())).c_str(),
                     note.empty() ? "" : "  ; ", note.c_str());
        std::fflush(stderr);
    }
    void text(const std::string& message) const
    {
        if (quiet_)
            return;
        std::fprintf(stderr, "korvanel-sim: %s\n", message.c_str());
        std::fflush(stderr);
    }

private:
    bool quiet_;
    Clock::time_point start_;
};

struct PendingChunk {
    Clock::time_point due;
    FrameBytes bytes;
    const char* note = "";
};

// The adapter's receiver hears its own driver: the bytes the master sends
// come back, the glitch ahead of a request's first bytes, the delay late.
// Echoes queue apart from replies, so a late one can fall behind a reply.
void EchoBack(const SimOptions& o, FrameBytes received, bool requestStarts, Clock::time_point now,
              std::deque<PendingChunk>& echoes)
{
    if (requestStarts)
        received.insert(received.begin(), o.echoGlitch.begin(), o.echoGlitch.end());
    echoes.push_back({now + std::chrono::milliseconds(o.echoDelayMs), std::move(received), "echo"});
}

std::uint64_t MsSince(Clock::time_point start, Clock::time_point now)
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count());
}

// "register 0x004A", for the log.
std::string ClearRegisterText()
{
    char text[24];
    std::snprintf(text, sizeof text, "register 0x%04X", static_cast<unsigned>(CLEAR_REGISTER));
    return text;
}

// The speed a request's closing silence is timed at: the inverter's --baud,
// else the pace of --line-rate, else the default.
std::uint32_t FrameSpeed(const SimOptions& o)
{
    return o.baud != 0 ? o.baud : o.lineRate != 0 ? o.lineRate : DEFAULT_BAUD;
}

// What waits to go onto the line: echoes apart from replies, so a late echo
// can fall behind a reply.
struct OutQueues {
    std::deque<PendingChunk> echoes;
    std::deque<PendingChunk> replies;

    Clock::time_point nextDue() const
    {
        auto at = Clock::time_point::max();
        for (const std::deque<PendingChunk>* queue : {&echoes, &replies}) {
            if (!queue->empty() && queue->front().due < at)
                at = queue->front().due;
        }
        return at;
    }
    void queueReply(const std::vector<ReplyChunk>& reply, Clock::time_point now)
    {
        auto due = now;
        for (const ReplyChunk& chunk : reply) {
            due += std::chrono::milliseconds(chunk.delayMs);
            replies.push_back({due, chunk.bytes});
        }
    }
    // Hands every chunk whose time has come to the line, echoes first;
    // returns them.
    std::vector<PendingChunk> release(LineOut& line, const Log& log)
    {
        std::vector<PendingChunk> released;
        for (std::deque<PendingChunk>* queue : {&echoes, &replies}) {
            while (!queue->empty() && queue->front().due <= Clock::now()) {
                line.queue(queue->front().bytes, Clock::now());
                log.line("TX", queue->front().bytes, queue->front().note);
                released.push_back(std::move(queue->front()));
                queue->pop_front();
            }
        }
        return released;
    }
};

// The log lines that say how this run's line behaves.
void LogLineFaults(const Log& log, const SimOptions& options)
{
    if (options.echo)
        log.text("the line echoes every byte the master sends");
    if (options.baud > 0)
        log.text("answers only at " + std::to_string(options.baud) + " baud");
    if (options.lineRate > 0)
        log.text("line rate " + std::to_string(options.lineRate) + " baud, " +
                 std::to_string(CharacterBits(LineSettings{})) + " bits a byte");
    if (options.noiseRate > 0)
        log.text("noise " + std::to_string(options.noiseRate) + " bytes/s, seed " +
                 std::to_string(options.noiseSeed));
}

// Waits for a byte or a stop signal until `wakeAt`, to the microsecond:
// bytes of a 9600 baud line are 1.04 ms apart. -1 on failure, else whether
// the line (LINE_READABLE) or the stop pipe (STOP_ASKED) is readable.
int WaitUntil(int line, int stops, Clock::time_point wakeAt)
{
    timespec timeout{};
    timespec* timeoutAt = nullptr;
    if (wakeAt != Clock::time_point::max()) {
        const auto left = std::max<std::chrono::nanoseconds>(
            std::chrono::nanoseconds(0),
            std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt - Clock::now()));
        timeout.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        timeout.tv_nsec = static_cast<long>(left.count() % 1000000000);
        timeoutAt = &timeout;
    }
    pollfd fds[2] = {{line, POLLIN, 0}, {stops, POLLIN, 0}};
    const int ready = ::ppoll(fds, 2, timeoutAt, nullptr);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    return ((fds[0].revents & POLLIN) ? LINE_READABLE : 0) |
           ((fds[1].revents & POLLIN) ? STOP_ASKED : 0);
}

class Simulator {
public:
    Simulator(const SimOptions& options, const SimLine& line, Clock::time_point start,
              CaptureFile& capture)
        : options_(options), line_(line), start_(start), log_(options.quiet, start),
          capture_(capture), inverter_(options.config), frame_(FrameSpeed(options)),
          out_(line.fd, options.lineRate), noise_(options.noiseRate, options.noiseSeed),
          vanishAt_(options.vanishAfterS > 0
                        ? start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.vanishAfterS))
                        : Clock::time_point::max())
    {}

    int run(int stops)
    {
        log_.text("inverter on " + line_.portPath + ", " + ClearRegisterText() + " = " +
                  std::to_string(options_.config.initialClearValue));
        LogLineFaults(log_, options_);
        bool stopping = false;
        while (!stopping) {
            const int ready = WaitUntil(line_.fd, stops, nextWake());
            if (ready < 0)
                return SystemFailure("poll");
            stopping = (ready & STOP_ASKED) != 0;
            const auto now = Clock::now();
            if (ready & (LINE_READABLE | STOP_ASKED))
                readLine(now);
            answerFrame(now, stopping);
            for (const PendingChunk& chunk : queues_.release(out_, log_))
                capture(CaptureDirection::FromInverter, chunk.bytes, chunk.note);
            if (!out_.send(Clock::now()))
                log_.text(std::string("write failed: ") + std::strerror(errno));
            capture(CaptureDirection::FromInverter, noise_.emit(line_.fd), "noise");
            if (Clock::now() >= vanishAt_) {
                log_.text("vanished: the port's far end is closed");
                stopping = true;
            }
        }
        stopped();
        return 0;
    }

private:
    // Sleep until a byte, a signal, the end of a frame or a reply part
    // falls due.
    Clock::time_point nextWake() const
    {
        return std::min(
            {frame_.endsAt(), queues_.nextDue(), noise_.nextDue(), vanishAt_, out_.nextDue()});
    }
    // The master may set its line at any time: its speed decides whether an
    // inverter with --baud hears it, its parity and stop bits the
    // character time both ways.
    void followMaster()
    {
        if (!line_.slaveHold.valid())
            return;
        if (!MasterLine(line_.slaveHold.get(), master_))
            master_.baud = 0;
        frame_.frameAs(master_);
        out_.frameAs(master_);
    }
    void readLine(Clock::time_point now)
    {
        std::uint8_t buf[512];
        const ssize_t n = ::read(line_.fd, buf, sizeof buf);
        if (n <= 0)
            return;
        followMaster();
        if (frame_.empty())
            lastUnit_ = buf[0];
        // Ahead of anything an inverter says, unless the echo is late.
        if (options_.echo)
            EchoBack(options_, FrameBytes(buf, buf + n), frame_.empty(), now, queues_.echoes);
        frame_.add(buf, static_cast<std::size_t>(n), now);
        if (line_.framed)
            answer(frame_.take(), now);
    }
    // A stop ends the request being gathered: a master that stops us right
    // after its last write still finds that request handled and logged.
    void answerFrame(Clock::time_point now, bool stopping)
    {
        if (frame_.complete(now) || (stopping && !frame_.empty()))
            answer(frame_.take(), now);
    }
    void answer(const FrameBytes& frame, Clock::time_point now)
    {
        const FrameOutcome outcome = options_.baud == 0 || master_.baud == options_.baud
                                         ? inverter_.handleFrame(frame, MsSince(start_, now))
                                         : Unheard(options_.baud);
        log_.line("RX", frame, outcome.note);
        capture(CaptureDirection::ToInverter, frame, outcome.note);
        queues_.queueReply(outcome.reply, now);
    }
    // Every packet is put down to the unit last addressed; on a
    // pseudo-terminal it says the master's line settings.
    void capture(CaptureDirection direction, const FrameBytes& bytes, const std::string& note)
    {
        if (bytes.empty() || !capture_.isOpen())
            return;
        std::string comment = line_.slaveHold.valid() ? master_.text() : std::string();
        if (!note.empty())
            comment += (comment.empty() ? "" : "; ") + note;
        capture_.record(direction, lastUnit_, bytes.data(), bytes.size(),
                        CaptureFile::WallClock::now(), comment);
    }
    void stopped()
    {
        if (options_.noiseRate > 0)
            log_.text("noise bytes sent " + std::to_string(noise_.sent()));
        inverter_.advanceTo(MsSince(start_, Clock::now()));
        const std::uint8_t first = options_.config.addresses.front();
        log_.text("stopped; " + ClearRegisterText() + " = " +
                  std::to_string(inverter_.holdingRegister(first, CLEAR_REGISTER)));
    }

    const SimOptions& options_;
    const SimLine& line_;
    Clock::time_point start_;
    Log log_;
    CaptureFile& capture_;
    std::uint8_t lastUnit_ = 0;
    VirtualInverter inverter_;
    FrameAssembler frame_;
    OutQueues queues_;
    LineOut out_;
    NoiseSource noise_;
    Clock::time_point vanishAt_;
    // The master's line as last seen: 8N1 at the default speed until then.
    LineSettings master_;
};

} // namespace

StopPipe::~StopPipe()
{
    // No signal may write into a descriptor that is closed, or reused.
    g_stopWriteFd = -1;
}

int StopPipe::route()
{
    if (!MakePair(ends_, [](int fds[2]) { return ::pipe2(fds, O_CLOEXEC); }))
        return SystemFailure("cannot make a pipe");
    ::fcntl(ends_[1].get(), F_SETFL, O_NONBLOCK);
    g_stopWriteFd = ends_[1].get();
    RouteStopSignals(OnStopSignal);
    return 0;
}

int OpenSimCapture(const SimOptions& options, const SimLine& line, CaptureFile& capture)
{
    if (options.capturePath.empty())
        return 0;
    // A pseudo-terminal shows the master's settings on each packet.
    const std::string settings =
        line.slaveHold.valid() ? "the master's, on each packet" : "none, a network client's line";
    std::string error;
    if (capture.open(options.capturePath, "korvanel-sim", line.portPath,
                     CaptureDescription(settings), error))
        return 0;
    std::fprintf(stderr, "korvanel-sim: %s\n", error.c_str());
    return 2;
}

int RunSimulator(const SimOptions& options, const SimLine& line, const StopPipe& stops,
                 SimClock::time_point start, CaptureFile& capture)
{
    return Simulator(options, line, start, capture).run(stops.readFd());
}

} // namespace korvanel
