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
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "hex_bytes.h"
#include "inverter.h"
#include "korvanel_version.h"
#include "line_settings.h"
#include "line_termios.h"
#include "listener.h"
#include "process_setup.h"

namespace {

using Clock = std::chrono::steady_clock;
using korvanel::CommandOption;
using korvanel::FrameBytes;
using korvanel::UsageError;

// Larger than any Modbus RTU frame (256 bytes): a master that never pauses
// still gets its junk logged and dropped.
constexpr std::size_t MAX_FRAME = 512;

int g_wakePipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const char byte = 1;
    // Nothing to do if the pipe is full: a wake-up is already pending.
    const ssize_t ignored = ::write(g_wakePipe[1], &byte, 1);
    (void)ignored;
}

struct SimOptions {
    korvanel::SimConfig config;
    std::string linkPath;
    // Serve over TCP instead of a pseudo-terminal: tcp://... or modbus-tcp://...
    std::string listenUrl;
    bool quiet = false;
    // Junk bytes per second written onto the line between and over replies,
    // as a noisy cable or a flaky adapter would; 0 for a clean line.
    unsigned noiseRate = 0;
    std::uint32_t noiseSeed = 1;
    // The adapter hands every byte the master sends straight back.
    bool echo = false;
    // Sent ahead of the echo of each request, as a turnaround glitch.
    FrameBytes echoGlitch;
    // The echo comes this late, as through a USB adapter's latency timer; a
    // quicker reply goes out ahead of it.
    unsigned echoDelayMs = 0;
    // Bits a second of the line the replies leave on; 0 sends at once.
    unsigned lineRate = 0;
    // Seconds after start at which the line goes away as an unplugged
    // adapter does: the simulator closes its side and exits. 0 for never.
    double vanishAfterS = 0;
    // The only speed the inverter understands; while the master has the
    // line at another, every request is noise to it. 0 for any.
    std::uint32_t baud = 0;
};

// A day: longer than any test, short enough that the deadline's
// arithmetic on the steady clock cannot overflow.
constexpr double MAX_VANISH_AFTER_S = 86400;
// Ten minutes: far beyond any master's reply wait.
constexpr long MAX_DELAY_MS = 600000;
// At one request a second, about a week of requests left unanswered.
constexpr long MAX_UNANSWERED_REQUESTS = 600000;
constexpr long MAX_FLOOD_BYTES = 4096;
// About a thousand times what a 9600 baud line carries (960 bytes a second).
constexpr long MAX_NOISE_RATE = 1000000;
// 4 Mbit/s: above the fastest serial adapters.
constexpr long MAX_LINE_RATE = 4000000;
// The largest seed a signed 32-bit number holds.
constexpr long MAX_SEED = 0x7FFFFFFF;

// Noise goes out in small bursts, often enough that every tick interval of
// the shortest period (10 ms) sees some.
constexpr std::chrono::milliseconds NOISE_BURST_INTERVAL{5};

// What WaitUntil found readable.
constexpr int LINE_READABLE = 1;
constexpr int STOP_ASKED = 2;

const char* UsageText()
{
    return "Usage: korvanel-sim [--address LIST] [--fault MODE] [--answer-after N]\n"
           "                    [--split-delay MS] [--flood-bytes N] [--initial VALUE]\n"
           "                    [--noise RATE] [--seed N] [--exception CODE] [--ignore-write]\n"
           "                    [--echo] [--echo-glitch HEX] [--echo-delay MS]\n"
           "                    [--reply-delay MS] [--junk-before HEX]\n"
           "                    [--line-rate BAUD] [--vanish-after S] [--link PATH] [--quiet]\n"
           "                    [--apply-delay MS] [--revert-after MS] [--baud N]\n"
           "                    [--listen URL]\n"
           "\n"
           "A virtual inverter on a pseudo-terminal. The first line printed is the\n"
           "port to open; frames received and sent are logged to standard error.\n"
           "Stops on SIGINT, SIGTERM or SIGHUP.\n"
           "\n"
           "  --address LIST    inverter addresses on the bus, e.g. 1 or 1-4,7 (default 1)\n"
           "  --fault MODE      none, silent, exception, bad-check, stray-byte,\n"
           "                    other-address, split, flood, refuse-read,\n"
           "                    fc16-only (exception 01 to 0x06) (default none)\n"
           "  --fault LIST:MODE the same for these addresses only (repeatable;\n"
           "                    they join the bus), e.g. --fault 3-5:silent\n"
           "  --noise RATE      junk bytes per second sent onto the line (default 0)\n"
           "  --seed N          seed of the noise (default 1)\n"
           "  --answer-after N  leave the first N requests unanswered (default 0)\n"
           "  --answer-from N   the same as --answer-after N-1\n"
           "  --split-delay MS  pause between the halves of a split reply (default 1500)\n"
           "  --flood-bytes N   junk bytes sent by the flood fault (default 300)\n"
           "  --initial VALUE   starting value of register 0x004A (default 4660 = 0x1234)\n"
           "  --exception CODE  code of the exception fault's replies, 1 to 255 (default 4)\n"
           "  --ignore-write    acknowledge writes but change nothing\n"
           "  --apply-delay MS  a write takes effect MS after it is acknowledged; reads\n"
           "                    show the old value until then (default 0)\n"
           "  --revert-after MS a write that took effect is undone MS later: the\n"
           "                    register goes back to its old value (default 0, never)\n"
           "  --baud N          answer only while the master has the line at N baud\n"
           "                    (1200 to 115200), as its termios shows; default any\n"
           "Line faults (with any fault mode):\n"
           "  --echo            hand back every byte the master sends, before any reply\n"
           "  --echo-glitch HEX send these bytes ahead of the echo of each request,\n"
           "                    e.g. 00 (turns --echo on)\n"
           "  --echo-delay MS   the echo comes MS late, after the reply if that is\n"
           "                    quicker, as a slow USB adapter's (turns --echo on)\n"
           "  --reply-delay MS  answer MS after the request (default 0)\n"
           "  --junk-before HEX send these bytes before each reply, e.g. FF00\n"
           "  --line-rate BAUD  send at the pace of this line, 10 bits a byte\n"
           "                    (9600: 1.04 ms a byte; default 0, at once)\n"
           "  --vanish-after S  after S seconds (decimals allowed, e.g. 1.5) close the\n"
           "                    port's far end and exit, as an unplugged adapter\n"
           "  --link PATH       also make PATH a symbolic link to the port\n"
           "  --listen URL      serve over the network instead, one client at a time:\n"
           "                    tcp://HOST:PORT (a transparent converter) or\n"
           "                    modbus-tcp://HOST:PORT (a Modbus TCP gateway); HOST\n"
           "                    127.0.0.1 unless given, PORT 0 picks a free one; the\n"
           "                    first line printed is then the URL to connect to\n"
           "  --quiet           log nothing\n"
           "  --version         print the version\n";
}

// "--exception 4": a number from `min` to `max`, stored in `target` with
// `offset` added.
template <typename Target>
CommandOption NumberOption(const char* name, long min, long max, Target& target, long offset = 0)
{
    return korvanel::ValueOption(name, [name, min, max, offset, &target](const std::string& value) {
        long n = 0;
        if (!korvanel::ParseDecimal(value, n) || n < min || n > max)
            throw UsageError(std::string(name) + " takes a number from " + std::to_string(min) +
                             " to " + std::to_string(max) + ", not '" + value + "'");
        target = static_cast<Target>(n + offset);
    });
}

void TakeAddressList(const std::string& text, std::vector<std::uint8_t>& addresses)
{
    std::string error;
    if (!korvanel::ParseAddressList(text, addresses, error))
        throw UsageError(error);
}

// "--fault MODE" for the whole bus, "--fault LIST:MODE" for these addresses.
void TakeFault(const std::string& value, korvanel::SimConfig& config, bool& busFaultGiven)
{
    const std::size_t colon = value.find(':');
    const std::string mode = colon == std::string::npos ? value : value.substr(colon + 1);
    korvanel::SimFault fault = korvanel::SimFault::None;
    if (!korvanel::VirtualInverter::ParseFault(mode, fault))
        throw UsageError("unknown fault '" + mode + "' (one of " +
                         korvanel::VirtualInverter::FaultNames() + ")");
    if (colon == std::string::npos) {
        if (busFaultGiven)
            throw UsageError(
                "--fault MODE given twice; give one MODE for the bus, and LIST:MODE for the others");
        busFaultGiven = true;
        config.fault = fault;
        return;
    }
    std::vector<std::uint8_t> own;
    TakeAddressList(value.substr(0, colon), own);
    for (const std::uint8_t a : own)
        config.faultByAddress[a] = fault;
}

void TakeBaud(const std::string& value, std::uint32_t& baud)
{
    long n = 0;
    speed_t speed = B0;
    if (!korvanel::ParseDecimal(value, n) ||
        !korvanel::TermiosSpeed(static_cast<std::uint32_t>(n), speed))
        throw UsageError("--baud takes a standard rate from 1200 to 115200, not '" + value + "'");
    baud = static_cast<std::uint32_t>(n);
}

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

// Repeatable: each "--fault LIST:MODE" adds its own group.
CommandOption FaultOption(korvanel::SimConfig& config, bool& busFaultGiven)
{
    CommandOption option =
        korvanel::ValueOption("--fault", [&config, &busFaultGiven](const std::string& value) {
            TakeFault(value, config, busFaultGiven);
        });
    option.again = CommandOption::Again::Taken;
    return option;
}

void TakeVanishAfter(const std::string& value, double& vanishAfterS)
{
    char* end = nullptr;
    const double seconds = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !(seconds > 0 && seconds <= MAX_VANISH_AFTER_S)) {
        std::ostringstream what;
        what << "--vanish-after takes seconds above 0, up to " << MAX_VANISH_AFTER_S << ", not '"
             << value << "'";
        throw UsageError(what.str());
    }
    vanishAfterS = seconds;
}

// Every option the simulator takes, each writing into `o`.
std::vector<CommandOption> SimOptionTable(SimOptions& o, bool& help, bool& version,
                                          bool& busFaultGiven)
{
    using korvanel::SwitchOption;
    using korvanel::ValueOption;
    korvanel::SimConfig& c = o.config;
    return {
        korvanel::ListOption(
            "--address", [&](const std::string& value) { TakeAddressList(value, c.addresses); }),
        FaultOption(c, busFaultGiven),
        NumberOption("--noise", 0, MAX_NOISE_RATE, o.noiseRate),
        NumberOption("--seed", 0, MAX_SEED, o.noiseSeed),
        NumberOption("--answer-from", 1, MAX_UNANSWERED_REQUESTS, c.answerFrom),
        // Leaving N unanswered is answering from request N + 1.
        NumberOption("--answer-after", 0, MAX_UNANSWERED_REQUESTS, c.answerFrom, 1),
        NumberOption("--split-delay", 0, MAX_DELAY_MS, c.splitDelayMs),
        NumberOption("--flood-bytes", 0, MAX_FLOOD_BYTES, c.floodBytes),
        NumberOption("--initial", 0, 0xFFFF, c.initialClearValue),
        NumberOption("--exception", 1, 0xFF, c.exceptionCode),
        NumberOption("--reply-delay", 0, MAX_DELAY_MS, c.replyDelayMs),
        NumberOption("--line-rate", 0, MAX_LINE_RATE, o.lineRate),
        NumberOption("--apply-delay", 0, MAX_DELAY_MS, c.applyDelayMs),
        NumberOption("--revert-after", 0, MAX_DELAY_MS, c.revertAfterMs),
        ValueOption("--baud", [&](const std::string& value) { TakeBaud(value, o.baud); }),
        ValueOption("--junk-before",
                    [&](const std::string& value) {
                        if (!korvanel::VirtualInverter::ParseHexBytes(value, c.junkBefore))
                            throw UsageError(
                                "--junk-before takes pairs of hex digits such as FF00, not '" +
                                value + "'");
                    }),
        ValueOption("--echo-glitch",
                    [&](const std::string& value) {
                        if (!korvanel::VirtualInverter::ParseHexBytes(value, o.echoGlitch) ||
                            o.echoGlitch.empty())
                            throw UsageError(
                                "--echo-glitch takes pairs of hex digits such as 00, not '" +
                                value + "'");
                    }),
        NumberOption("--echo-delay", 0, MAX_DELAY_MS, o.echoDelayMs),
        ValueOption("--vanish-after",
                    [&](const std::string& value) { TakeVanishAfter(value, o.vanishAfterS); }),
        ValueOption("--link", [&](const std::string& value) { o.linkPath = value; }),
        ValueOption("--listen",
                    [&](const std::string& value) {
                        std::string error;
                        if (!korvanel::Listener::CheckUrl(value, error))
                            throw UsageError(error);
                        o.listenUrl = value;
                    }),
        SwitchOption("--echo", o.echo),
        SwitchOption("--ignore-write", c.ignoreWrite),
        SwitchOption("--quiet", o.quiet),
        SwitchOption("-h,--help", help),
        SwitchOption("--version", version),
    };
}

// What options imply beyond themselves.
void CompleteSimOptions(SimOptions& o)
{
    // A glitch or a delay of the echo needs an echo.
    if (!o.echoGlitch.empty() || o.echoDelayMs > 0)
        o.echo = true;
    // An address given its own fault is on the bus too.
    korvanel::SimConfig& c = o.config;
    for (const auto& own : c.faultByAddress) {
        if (std::find(c.addresses.begin(), c.addresses.end(), own.first) == c.addresses.end())
            c.addresses.push_back(own.first);
    }
}

// 0 to continue, or an exit status.
int ParseSimOptions(const std::vector<std::string>& args, SimOptions& o)
{
    bool help = false;
    bool version = false;
    bool busFaultGiven = false;
    try {
        korvanel::ParseCommandLine(SimOptionTable(o, help, version, busFaultGiven), args);
    } catch (const UsageError& e) {
        korvanel::PrintUsageError(std::cerr, "korvanel-sim", e.what());
        return 2;
    }
    // Over TCP there is no line speed for an inverter to hear.
    if (o.baud != 0 && !o.listenUrl.empty()) {
        korvanel::PrintUsageError(std::cerr, "korvanel-sim",
                                  "--baud needs a serial line; --listen has none");
        return 2;
    }
    if (help) {
        std::cout << UsageText();
        return -1;
    }
    if (version) {
        std::cout << "korvanel-sim " << KORVANEL_VERSION << '\n';
        return -1;
    }
    CompleteSimOptions(o);
    return 0;
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

// The simulator's side of the line: what it sends leaves in order, one byte
// after another, at the line's pace. At 9600 baud 8N1 a byte is 10 bits
// (start, 8 data, stop): 10 / 9600 s = 1.04 ms. An echo and a reply share
// the line, so a reply queued behind an echo follows it, as on a two-wire
// bus where the inverter can only answer once the request is off the wire.
class LineOut {
public:
    LineOut(int fd, unsigned bitsPerSecond)
        : fd_(fd),
          byteTime_(bitsPerSecond
                        ? std::chrono::nanoseconds(BITS_PER_BYTE * 1000000000LL / bitsPerSecond)
                        : std::chrono::nanoseconds(0))
    {}

    void queue(const FrameBytes& bytes, Clock::time_point now)
    {
        auto at = std::max(now, freeAt_);
        for (const std::uint8_t b : bytes) {
            at += byteTime_;
            queued_.push_back({at, b});
        }
        freeAt_ = at;
    }
    Clock::time_point nextDue() const
    {
        return queued_.empty() ? Clock::time_point::max() : queued_.front().due;
    }
    // Writes every byte whose time has come; false when the write failed.
    bool send(Clock::time_point now)
    {
        FrameBytes out;
        while (!queued_.empty() && queued_.front().due <= now) {
            out.push_back(queued_.front().byte);
            queued_.pop_front();
        }
        return out.empty() ||
               ::write(fd_, out.data(), out.size()) == static_cast<ssize_t>(out.size());
    }

private:
    static constexpr long long BITS_PER_BYTE = 10;
    struct Byte {
        Clock::time_point due;
        std::uint8_t byte;
    };

    int fd_;
    std::chrono::nanoseconds byteTime_;
    std::deque<Byte> queued_;
    Clock::time_point freeAt_{};
};

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

// The bytes of the master's request, gathered until the line falls silent.
class FrameAssembler {
public:
    explicit FrameAssembler(std::chrono::microseconds gap) : gap_(gap) {}

    bool empty() const { return frame_.empty(); }
    void add(const std::uint8_t* bytes, std::size_t count, Clock::time_point now)
    {
        frame_.insert(frame_.end(), bytes, bytes + count);
        lastByte_ = now;
    }
    // When the frame gathered so far ends unless more bytes come.
    Clock::time_point endsAt() const
    {
        return frame_.empty() ? Clock::time_point::max() : lastByte_ + gap_;
    }
    bool complete(Clock::time_point now) const
    {
        return !frame_.empty() && (now - lastByte_ >= gap_ || frame_.size() >= MAX_FRAME);
    }
    FrameBytes take()
    {
        FrameBytes frame;
        frame.swap(frame_);
        return frame;
    }

private:
    std::chrono::microseconds gap_;
    FrameBytes frame_;
    Clock::time_point lastByte_;
};

// Junk bytes onto the line at a steady rate, in small bursts.
class NoiseSource {
public:
    NoiseSource(unsigned rate, std::uint32_t seed) : rate_(rate), random_(seed), next_(Clock::now())
    {}

    Clock::time_point nextDue() const { return rate_ > 0 ? next_ : Clock::time_point::max(); }
    unsigned long sent() const { return sent_; }
    void emit(int fd)
    {
        if (rate_ == 0 || Clock::now() < next_)
            return;
        owed_ += rate_ * std::chrono::duration<double>(NOISE_BURST_INTERVAL).count();
        FrameBytes burst(static_cast<std::size_t>(owed_));
        owed_ -= static_cast<double>(burst.size());
        for (std::uint8_t& b : burst)
            b = static_cast<std::uint8_t>(random_() & 0xFF);
        // Not logged byte by byte: a second of noise would drown the
        // frames; the total is logged at the end.
        const ssize_t written = burst.empty() ? 0 : ::write(fd, burst.data(), burst.size());
        if (written > 0)
            sent_ += static_cast<unsigned long>(written);
        next_ += NOISE_BURST_INTERVAL;
        if (next_ < Clock::now())
            next_ = Clock::now() + NOISE_BURST_INTERVAL;
    }

private:
    unsigned rate_;
    std::mt19937 random_;
    Clock::time_point next_;
    double owed_ = 0;
    unsigned long sent_ = 0;
};

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
    }
    void answerFrame(Clock::time_point now)
    {
        if (!frame_.complete(now))
            return;
        const FrameBytes frame = frame_.take();
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
