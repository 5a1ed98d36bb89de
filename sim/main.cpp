// korvanel-sim: a virtual inverter on a pseudo-terminal. Its first line on
// standard output is the port to give korvanel-clear (or any Modbus RTU
// master); every frame received and sent is logged on standard error.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "hex_bytes.h"
#include "inverter.h"
#include "line_settings.h"
#include "line_termios.h"
#include "listener.h"
#include "process_setup.h"
#include "sim_line.h"
#include "sim_options.h"

namespace {

using Clock = std::chrono::steady_clock;
using korvanel::FrameAssembler;
using korvanel::FrameBytes;
using korvanel::LineOut;
using korvanel::NoiseSource;
using korvanel::SimOptions;

int g_wakePipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const char byte = 1;
    // Nothing to do if the pipe is full: a wake-up is already pending.
    const ssize_t ignored = ::write(g_wakePipe[1], &byte, 1);
    (void)ignored;
}

// What WaitUntil found readable.
constexpr int LINE_READABLE = 1;
constexpr int STOP_ASKED = 2;

// Whether the master has the line at `baud`: the far end of a
// pseudo-terminal shares its termios with the master's side.
bool LineAt(int slave, std::uint32_t baud)
{
    termios tio{};
    speed_t speed = B0;
    return ::tcgetattr(slave, &tio) == 0 && korvanel::TermiosSpeed(baud, speed) &&
           cfgetospeed(&tio) == speed;
}

// What an inverter at `baud` makes of a frame sent at another speed: noise.
korvanel::FrameOutcome Unheard(std::uint32_t baud)
{
    korvanel::FrameOutcome outcome;
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
        std::fprintf(
            stderr, "%10.1f ms  %s  %s%s%s\n", ms, dir,
            korvanel::HexBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size())).c_str(),
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

int Fail(const std::string& what)
{
    std::cerr << "korvanel-sim: " << what << ": " << std::strerror(errno) << '\n';
    return 1;
}

// "register 0x004A", for the log.
std::string ClearRegisterText()
{
    char text[24];
    std::snprintf(text, sizeof text, "register 0x%04X",
                  static_cast<unsigned>(korvanel::CLEAR_REGISTER));
    return text;
}

// A request ends with a silence of 3.5 characters at the line's speed: the
// inverter's --baud, else the pace of --line-rate, else the default.
// 9600 8N1: 3.5 x 1042 us = 3.65 ms.
std::chrono::microseconds FrameGap(const SimOptions& o)
{
    korvanel::LineSettings line;
    line.baud = o.baud != 0 ? o.baud : o.lineRate != 0 ? o.lineRate : korvanel::DEFAULT_BAUD;
    return std::chrono::microseconds(korvanel::FrameSilenceUs(line));
}

// The simulator's end of the line: the master side of a pseudo-terminal, or
// the listener's line to its client.
struct SimLine {
    int master = -1;
    // The pseudo-terminal's far end, held open; -1 when listening.
    int slaveHold = -1;
    // What the master opens: a device path or the listener's URL.
    std::string portPath;
    // Each read is one whole request (a gateway's line), so no silence
    // has to end it.
    bool framed = false;
};

// Makes a pseudo-terminal: 0, or an exit status.
int OpenPseudoTerminal(SimLine& line)
{
    line.master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (line.master < 0 || ::grantpt(line.master) != 0 || ::unlockpt(line.master) != 0)
        return Fail("cannot make a pseudo-terminal");
    const char* slaveName = ::ptsname(line.master);
    if (!slaveName)
        return Fail("cannot name the pseudo-terminal");
    line.portPath = slaveName;
    // Holding the far end open keeps the line up while masters come and go
    // (otherwise each close hangs it up), and lets the line start raw so
    // nothing is echoed back before a master configures it.
    line.slaveHold = ::open(line.portPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.slaveHold < 0)
        return Fail("cannot open " + line.portPath);
    termios tio{};
    if (::tcgetattr(line.slaveHold, &tio) == 0) {
        korvanel::ApplyLineSettings(tio, korvanel::LineSettings{});
        ::tcsetattr(line.slaveHold, TCSANOW, &tio);
    }
    return 0;
}

// Opens the line the options ask for: 0, or an exit status.
int OpenLine(const SimOptions& options, korvanel::Listener& listener, SimLine& line)
{
    if (options.listenUrl.empty()) {
        if (const int status = OpenPseudoTerminal(line))
            return status;
    } else {
        std::string listenError;
        if (!listener.start(options.listenUrl, options.quiet, listenError)) {
            std::cerr << "korvanel-sim: " << listenError << '\n';
            return 1;
        }
        line.master = listener.lineFd();
        if (line.master < 0)
            return Fail("cannot make a pseudo-terminal");
        line.portPath = listener.url();
        line.framed = listener.framesRequests();
    }
    ::fcntl(line.master, F_SETFL, ::fcntl(line.master, F_GETFL) | O_NONBLOCK);
    return 0;
}

// A stop signal writes to a pipe the main loop polls: 0, or an exit status.
int RouteStopsToPipe()
{
    if (::pipe(g_wakePipe) != 0)
        return Fail("cannot make a pipe");
    ::fcntl(g_wakePipe[1], F_SETFL, O_NONBLOCK);
    korvanel::RouteStopSignals(OnStopSignal);
    return 0;
}

// --link: 0, or an exit status.
int LinkPort(const std::string& linkPath, const std::string& portPath)
{
    if (linkPath.empty())
        return 0;
    struct stat st {};
    if (::lstat(linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(linkPath.c_str());
    if (::symlink(portPath.c_str(), linkPath.c_str()) != 0)
        return Fail("cannot link " + linkPath);
    return 0;
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
    void queueReply(const std::vector<korvanel::ReplyChunk>& reply, Clock::time_point now)
    {
        auto due = now;
        for (const korvanel::ReplyChunk& chunk : reply) {
            due += std::chrono::milliseconds(chunk.delayMs);
            replies.push_back({due, chunk.bytes});
        }
    }
    // Hands every chunk whose time has come to the line, echoes first.
    void release(LineOut& line, const Log& log)
    {
        for (std::deque<PendingChunk>* queue : {&echoes, &replies}) {
            while (!queue->empty() && queue->front().due <= Clock::now()) {
                line.queue(queue->front().bytes, Clock::now());
                log.line("TX", queue->front().bytes, queue->front().note);
                queue->pop_front();
            }
        }
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
        log.text("line rate " + std::to_string(options.lineRate) + " baud, 10 bits a byte");
    if (options.noiseRate > 0)
        log.text("noise " + std::to_string(options.noiseRate) + " bytes/s, seed " +
                 std::to_string(options.noiseSeed));
}

// Waits for a byte or a stop signal until `wakeAt`, to the microsecond:
// bytes of a 9600 baud line are 1.04 ms apart. -1 on failure, else whether
// the line (bit 0) or the stop pipe (bit 1) is readable.
int WaitUntil(int master, Clock::time_point wakeAt)
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
    pollfd fds[2] = {{master, POLLIN, 0}, {g_wakePipe[0], POLLIN, 0}};
    const int ready = ::ppoll(fds, 2, timeoutAt, nullptr);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    return ((fds[0].revents & POLLIN) ? LINE_READABLE : 0) |
           ((fds[1].revents & POLLIN) ? STOP_ASKED : 0);
}

// One run of the simulator over an open line, until a stop signal or the
// line vanishes.
class Simulator {
public:
    Simulator(const SimOptions& options, const SimLine& line, Clock::time_point start)
        : options_(options), line_(line), start_(start), log_(options.quiet, start),
          inverter_(options.config), frame_(FrameGap(options)), out_(line.master, options.lineRate),
          noise_(options.noiseRate, options.noiseSeed),
          vanishAt_(options.vanishAfterS > 0
                        ? start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.vanishAfterS))
                        : Clock::time_point::max())
    {}

    // 0, or an exit status.
    int run()
    {
        log_.text("inverter on " + line_.portPath + ", " + ClearRegisterText() + " = " +
                  std::to_string(options_.config.initialClearValue));
        LogLineFaults(log_, options_);
        bool stopping = false;
        while (!stopping) {
            const int ready = WaitUntil(line_.master, nextWake());
            if (ready < 0)
                return Fail("poll");
            stopping = (ready & STOP_ASKED) != 0;
            const auto now = Clock::now();
            if (ready & LINE_READABLE)
                readLine(now);
            answerFrame(now);
            queues_.release(out_, log_);
            if (!out_.send(Clock::now()))
                log_.text(std::string("write failed: ") + std::strerror(errno));
            noise_.emit(line_.master);
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
    void readLine(Clock::time_point now)
    {
        std::uint8_t buf[512];
        const ssize_t n = ::read(line_.master, buf, sizeof buf);
        if (n <= 0)
            return;
        // Ahead of anything an inverter says, unless the echo is late.
        if (options_.echo)
            EchoBack(options_, FrameBytes(buf, buf + n), frame_.empty(), now, queues_.echoes);
        frame_.add(buf, static_cast<std::size_t>(n), now);
        if (line_.framed)
            answer(frame_.take(), now);
    }
    void answerFrame(Clock::time_point now)
    {
        if (frame_.complete(now))
            answer(frame_.take(), now);
    }
    void answer(const FrameBytes& frame, Clock::time_point now)
    {
        const korvanel::FrameOutcome outcome =
            options_.baud == 0 || LineAt(line_.slaveHold, options_.baud)
                ? inverter_.handleFrame(frame, MsSince(start_, now))
                : Unheard(options_.baud);
        log_.line("RX", frame, outcome.note);
        queues_.queueReply(outcome.reply, now);
    }
    void stopped()
    {
        if (options_.noiseRate > 0)
            log_.text("noise bytes sent " + std::to_string(noise_.sent()));
        inverter_.advanceTo(MsSince(start_, Clock::now()));
        const std::uint8_t first = options_.config.addresses.front();
        log_.text("stopped; " + ClearRegisterText() + " = " +
                  std::to_string(inverter_.holdingRegister(first, korvanel::CLEAR_REGISTER)));
    }

    const SimOptions& options_;
    const SimLine& line_;
    Clock::time_point start_;
    Log log_;
    korvanel::VirtualInverter inverter_;
    FrameAssembler frame_;
    OutQueues queues_;
    LineOut out_;
    NoiseSource noise_;
    Clock::time_point vanishAt_;
};

} // namespace

int main(int argc, char** argv)
{
    const auto start = Clock::now();
    // Before the pseudo-terminal is made: with stdout closed it would take
    // descriptor 1, and the port line printed would go onto the bus.
    if (!korvanel::OpenMissingStandardDescriptors())
        return 1;
    SimOptions options;
    if (const int status =
            ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc), options))
        return status < 0 ? 0 : status;

    korvanel::Listener listener;
    SimLine line;
    if (const int status = OpenLine(options, listener, line))
        return status;
    if (const int status = RouteStopsToPipe())
        return status;
    if (const int status = LinkPort(options.linkPath, line.portPath))
        return status;
    std::cout << line.portPath << std::endl;

    const int status = Simulator(options, line, start).run();
    if (!options.linkPath.empty())
        ::unlink(options.linkPath.c_str());
    // The listener owns its line and closes it when it goes.
    if (options.listenUrl.empty()) {
        ::close(line.slaveHold);
        ::close(line.master);
    }
    return status;
}
