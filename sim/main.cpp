// korvanel-sim: a virtual inverter on a pseudo-terminal. Its first line on
// standard output is the port to give korvanel-clear (or any Modbus RTU
// master); every frame received and sent is logged on standard error.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <deque>
#include <random>
#include <iostream>
#include <string>
#include <vector>

#include "clear_options.h"
#include "clear_session.h"
#include "inverter.h"
#include "process_setup.h"

namespace {

using Clock = std::chrono::steady_clock;
using korvanel::FrameBytes;

// A request ends with a silence: 3.5 characters at 9600 baud with 11 bits
// each is 3.5 * 11 / 9600 s = 4.01 ms.
constexpr std::chrono::microseconds FRAME_GAP{4010};
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
    bool quiet = false;
    // Junk bytes per second written onto the line between and over replies,
    // as a noisy cable or a flaky adapter would; 0 for a clean line.
    unsigned noiseRate = 0;
    std::uint32_t noiseSeed = 1;
    // The adapter hands every byte the master sends straight back.
    bool echo = false;
    // Bits a second of the line the replies leave on; 0 sends at once.
    unsigned lineRate = 0;
    // Seconds after start at which the line goes away as an unplugged
    // adapter does: the simulator closes its side and exits. 0 for never.
    double vanishAfterS = 0;
};

// A day: longer than any test, short enough that the deadline's
// arithmetic on the steady clock cannot overflow.
constexpr double MAX_VANISH_AFTER_S = 86400;

// Noise goes out in small bursts, often enough that every tick interval of
// the shortest period (10 ms) sees some.
constexpr std::chrono::milliseconds NOISE_BURST_INTERVAL{5};

const char* UsageText()
{
    return "Usage: korvanel-sim [--address LIST] [--fault MODE] [--answer-after N]\n"
           "                    [--split-delay MS] [--flood-bytes N] [--initial VALUE]\n"
           "                    [--noise RATE] [--seed N] [--exception CODE] [--ignore-write]\n"
           "                    [--echo] [--reply-delay MS] [--junk-before HEX]\n"
           "                    [--line-rate BAUD] [--vanish-after S] [--link PATH] [--quiet]\n"
           "\n"
           "A virtual inverter on a pseudo-terminal. The first line printed is the\n"
           "port to open; frames received and sent are logged to standard error.\n"
           "Stops on SIGINT, SIGTERM or SIGHUP.\n"
           "\n"
           "  --address LIST    inverter addresses on the bus, e.g. 1 or 1-4,7 (default 1)\n"
           "  --fault MODE      none, silent, exception, bad-check, stray-byte,\n"
           "                    other-address, split, flood, refuse-read (default none)\n"
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
           "Line faults (with any fault mode):\n"
           "  --echo            hand back every byte the master sends, before any reply\n"
           "  --reply-delay MS  answer MS after the request (default 0)\n"
           "  --junk-before HEX send these bytes before each reply, e.g. FF00\n"
           "  --line-rate BAUD  send at the pace of this line, 10 bits a byte\n"
           "                    (9600: 1.04 ms a byte; default 0, at once)\n"
           "  --vanish-after S  after S seconds (decimals allowed, e.g. 1.5) close the\n"
           "                    port's far end and exit, as an unplugged adapter\n"
           "  --link PATH       also make PATH a symbolic link to the port\n"
           "  --quiet           log nothing\n"
           "  --version         print the version\n";
}

bool ParseNumber(const std::string& text, long min, long max, long& value)
{
    return korvanel::ParseDecimal(text, value) && value >= min && value <= max;
}

// 0 to continue, or an exit status.
int ParseSimOptions(int argc, char** argv, SimOptions& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        const std::size_t eq = name.find('=');
        const bool inlineValue = name.compare(0, 2, "--") == 0 && eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const bool takesValue = name == "--address" || name == "--fault" || name == "--answer-from" ||
                                name == "--answer-after" || name == "--split-delay" || name == "--flood-bytes" ||
                                name == "--initial" || name == "--link" || name == "--noise" ||
                                name == "--seed" || name == "--exception" || name == "--reply-delay" ||
                                name == "--junk-before" || name == "--line-rate" || name == "--vanish-after";
        if (takesValue && !inlineValue) {
            if (i + 1 >= argc) {
                std::cerr << "korvanel-sim: option '" << name << "' needs a value\n";
                return 2;
            }
            value = argv[++i];
        }
        if (takesValue && value.compare(0, 2, "--") == 0) {
            std::cerr << "korvanel-sim: option '" << name << "' needs a value, not the option '"
                      << value << "'\n";
            return 2;
        }
        std::string error;
        long n = 0;
        if (name == "--address") {
            if (!korvanel::ParseAddressList(value, o.config.addresses, error)) {
                std::cerr << "korvanel-sim: " << error << '\n';
                return 2;
            }
        } else if (name == "--fault") {
            const std::size_t colon = value.find(':');
            const std::string mode = colon == std::string::npos ? value : value.substr(colon + 1);
            korvanel::SimFault fault = korvanel::SimFault::None;
            if (!korvanel::VirtualInverter::ParseFault(mode, fault)) {
                std::cerr << "korvanel-sim: unknown fault '" << mode << "' (one of "
                          << korvanel::VirtualInverter::FaultNames() << ")\n";
                return 2;
            }
            if (colon == std::string::npos) {
                o.config.fault = fault;
            } else {
                std::vector<std::uint8_t> own;
                if (!korvanel::ParseAddressList(value.substr(0, colon), own, error)) {
                    std::cerr << "korvanel-sim: " << error << '\n';
                    return 2;
                }
                for (const std::uint8_t a : own)
                    o.config.faultByAddress[a] = fault;
            }
        } else if (name == "--noise" || name == "--seed") {
            if (!ParseNumber(value, 0, name == "--noise" ? 1000000 : 0x7FFFFFFF, n)) {
                std::cerr << "korvanel-sim: " << name << " takes a number, not '" << value << "'\n";
                return 2;
            }
            if (name == "--noise")
                o.noiseRate = static_cast<unsigned>(n);
            else
                o.noiseSeed = static_cast<std::uint32_t>(n);
        } else if (name == "--answer-from" || name == "--answer-after" || name == "--split-delay" ||
                   name == "--flood-bytes" || name == "--initial") {
            const long max = name == "--initial" ? 0xFFFF : name == "--flood-bytes" ? 4096 : 600000;
            const long min = name == "--answer-from" ? 1 : 0;
            if (!ParseNumber(value, min, max, n)) {
                std::cerr << "korvanel-sim: " << name << " takes a number from " << min << " to "
                          << max << ", not '" << value << "'\n";
                return 2;
            }
            if (name == "--answer-from")
                o.config.answerFrom = static_cast<unsigned>(n);
            else if (name == "--answer-after")
                o.config.answerFrom = static_cast<unsigned>(n) + 1;
            else if (name == "--split-delay")
                o.config.splitDelayMs = static_cast<unsigned>(n);
            else if (name == "--flood-bytes")
                o.config.floodBytes = static_cast<unsigned>(n);
            else
                o.config.initialClearValue = static_cast<std::uint16_t>(n);
        } else if (name == "--exception" || name == "--reply-delay" || name == "--line-rate") {
            const long min = name == "--exception" ? 1 : 0;
            const long max = name == "--exception" ? 0xFF : name == "--reply-delay" ? 600000 : 4000000;
            if (!ParseNumber(value, min, max, n)) {
                std::cerr << "korvanel-sim: " << name << " takes a number from " << min << " to "
                          << max << ", not '" << value << "'\n";
                return 2;
            }
            if (name == "--exception")
                o.config.exceptionCode = static_cast<std::uint8_t>(n);
            else if (name == "--reply-delay")
                o.config.replyDelayMs = static_cast<unsigned>(n);
            else
                o.lineRate = static_cast<unsigned>(n);
        } else if (name == "--junk-before") {
            if (!korvanel::VirtualInverter::ParseHexBytes(value, o.config.junkBefore)) {
                std::cerr << "korvanel-sim: --junk-before takes pairs of hex digits such as FF00, not '"
                          << value << "'\n";
                return 2;
            }
        } else if (name == "--echo" && !inlineValue) {
            o.echo = true;
        } else if (name == "--ignore-write" && !inlineValue) {
            o.config.ignoreWrite = true;
        } else if (name == "--vanish-after") {
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(seconds > 0 && seconds <= MAX_VANISH_AFTER_S)) {
                std::cerr << "korvanel-sim: --vanish-after takes seconds above 0, up to "
                          << MAX_VANISH_AFTER_S << ", not '" << value << "'\n";
                return 2;
            }
            o.vanishAfterS = seconds;
        } else if (name == "--link") {
            o.linkPath = value;
        } else if (name == "--quiet" && !inlineValue) {
            o.quiet = true;
        } else if ((name == "--help" || name == "-h") && !inlineValue) {
            std::cout << UsageText();
            return -1;
        } else if (name == "--version" && !inlineValue) {
            std::cout << "korvanel-sim " << KORVANEL_VERSION << '\n';
            return -1;
        } else {
            std::cerr << "korvanel-sim: unknown option '" << argv[i] << "'\nTry 'korvanel-sim --help'.\n";
            return 2;
        }
    }
    // An address given its own fault is on the bus too.
    for (const auto& own : o.config.faultByAddress) {
        std::vector<std::uint8_t>& bus = o.config.addresses;
        if (std::find(bus.begin(), bus.end(), own.first) == bus.end())
            bus.push_back(own.first);
    }
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
        std::fprintf(stderr, "%10.1f ms  %s  %s%s%s\n", ms, dir,
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
};

// The simulator's side of the line: what it sends leaves in order, one byte
// after another, at the line's pace. At 9600 baud 8N1 a byte is 10 bits
// (start, 8 data, stop): 10 / 9600 s = 1.04 ms. An echo and a reply share
// the line, so a reply queued behind an echo follows it, as on a two-wire
// bus where the inverter can only answer once the request is off the wire.
class LineOut {
public:
    LineOut(int fd, unsigned bitsPerSecond)
        : fd_(fd),
          byteTime_(bitsPerSecond ? std::chrono::nanoseconds(BITS_PER_BYTE * 1000000000LL / bitsPerSecond)
                                  : std::chrono::nanoseconds(0))
    {
    }

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
        return out.empty() || ::write(fd_, out.data(), out.size()) == static_cast<ssize_t>(out.size());
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

int Fail(const std::string& what)
{
    std::cerr << "korvanel-sim: " << what << ": " << std::strerror(errno) << '\n';
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    const auto start = Clock::now();
    // Before the pseudo-terminal is made: with stdout closed it would take
    // descriptor 1, and the port line printed would go onto the bus.
    if (!korvanel::OpenMissingStandardDescriptors())
        return 1;
    SimOptions options;
    if (const int status = ParseSimOptions(argc, argv, options))
        return status < 0 ? 0 : status;

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return Fail("cannot make a pseudo-terminal");
    const char* slaveName = ::ptsname(master);
    if (!slaveName)
        return Fail("cannot name the pseudo-terminal");
    const std::string portPath = slaveName;
    // Holding the far end open keeps the line up while masters come and go
    // (otherwise each close hangs it up), and lets the line start raw so
    // nothing is echoed back before a master configures it.
    const int slaveHold = ::open(portPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveHold < 0)
        return Fail("cannot open " + portPath);
    termios tio{};
    if (::tcgetattr(slaveHold, &tio) == 0) {
        ::cfmakeraw(&tio);
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        ::tcsetattr(slaveHold, TCSANOW, &tio);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    if (::pipe(g_wakePipe) != 0)
        return Fail("cannot make a pipe");
    ::fcntl(g_wakePipe[1], F_SETFL, O_NONBLOCK);
    korvanel::RouteStopSignals(OnStopSignal);

    if (!options.linkPath.empty()) {
        struct stat st {};
        if (::lstat(options.linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(options.linkPath.c_str());
        if (::symlink(portPath.c_str(), options.linkPath.c_str()) != 0)
            return Fail("cannot link " + options.linkPath);
    }

    std::cout << portPath << std::endl;
    Log log(options.quiet, start);
    korvanel::VirtualInverter inverter(options.config);
    log.text("inverter on " + portPath + ", register 0x004A = " +
             std::to_string(options.config.initialClearValue));

    FrameBytes frame;
    Clock::time_point lastByte;
    std::deque<PendingChunk> pending;
    LineOut line(master, options.lineRate);
    if (options.echo)
        log.text("the line echoes every byte the master sends");
    if (options.lineRate > 0)
        log.text("line rate " + std::to_string(options.lineRate) + " baud, 10 bits a byte");
    bool stopping = false;
    std::mt19937 noise(options.noiseSeed);
    auto nextNoise = Clock::now();
    double noiseOwed = 0;
    unsigned long noiseSent = 0;
    if (options.noiseRate > 0)
        log.text("noise " + std::to_string(options.noiseRate) + " bytes/s, seed " +
                 std::to_string(options.noiseSeed));
    const bool vanishes = options.vanishAfterS > 0;
    const auto vanishAt =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.vanishAfterS));

    while (!stopping) {
        // Sleep until a byte, a signal, the end of a frame or a reply part
        // falls due.
        auto now = Clock::now();
        auto wakeAt = Clock::time_point::max();
        if (!frame.empty())
            wakeAt = lastByte + FRAME_GAP;
        if (!pending.empty() && pending.front().due < wakeAt)
            wakeAt = pending.front().due;
        if (options.noiseRate > 0 && nextNoise < wakeAt)
            wakeAt = nextNoise;
        if (vanishes && vanishAt < wakeAt)
            wakeAt = vanishAt;
        if (line.nextDue() < wakeAt)
            wakeAt = line.nextDue();
        // To the microsecond: bytes of a 9600 baud line are 1.04 ms apart.
        timespec timeout{};
        timespec* timeoutAt = nullptr;
        if (wakeAt != Clock::time_point::max()) {
            const auto left = std::max<std::chrono::nanoseconds>(
                std::chrono::nanoseconds(0), std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt - now));
            timeout.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            timeout.tv_nsec = static_cast<long>(left.count() % 1000000000);
            timeoutAt = &timeout;
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {g_wakePipe[0], POLLIN, 0}};
        const int ready = ::ppoll(fds, 2, timeoutAt, nullptr);
        if (ready < 0 && errno != EINTR)
            return Fail("poll");
        if (ready > 0 && (fds[1].revents & POLLIN))
            stopping = true;

        now = Clock::now();
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            std::uint8_t buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                frame.insert(frame.end(), buf, buf + n);
                lastByte = now;
                // The adapter's receiver hears its own driver: the bytes come
                // back as they go out, ahead of anything an inverter says.
                if (options.echo) {
                    const FrameBytes echoed(buf, buf + n);
                    line.queue(echoed, now);
                    log.line("TX", echoed, "echo");
                }
            }
        }
        if (!frame.empty() && (now - lastByte >= FRAME_GAP || frame.size() >= MAX_FRAME)) {
            const korvanel::FrameOutcome outcome = inverter.handleFrame(frame);
            log.line("RX", frame, outcome.note);
            auto due = now;
            for (const korvanel::ReplyChunk& chunk : outcome.reply) {
                due += std::chrono::milliseconds(chunk.delayMs);
                pending.push_back({due, chunk.bytes});
            }
            frame.clear();
        }
        while (!pending.empty() && pending.front().due <= Clock::now()) {
            line.queue(pending.front().bytes, Clock::now());
            log.line("TX", pending.front().bytes, "");
            pending.pop_front();
        }
        if (!line.send(Clock::now()))
            log.text(std::string("write failed: ") + std::strerror(errno));
        if (options.noiseRate > 0 && Clock::now() >= nextNoise) {
            noiseOwed += options.noiseRate *
                         std::chrono::duration<double>(NOISE_BURST_INTERVAL).count();
            FrameBytes burst(static_cast<std::size_t>(noiseOwed));
            noiseOwed -= static_cast<double>(burst.size());
            for (std::uint8_t& b : burst)
                b = static_cast<std::uint8_t>(noise() & 0xFF);
            // Not logged byte by byte: a second of noise would drown the
            // frames; the total is logged at the end.
            const ssize_t written = burst.empty() ? 0 : ::write(master, burst.data(), burst.size());
            if (written > 0)
                noiseSent += static_cast<unsigned long>(written);
            nextNoise += NOISE_BURST_INTERVAL;
            if (nextNoise < Clock::now())
                nextNoise = Clock::now() + NOISE_BURST_INTERVAL;
        }
        if (vanishes && Clock::now() >= vanishAt) {
            log.text("vanished: the port's far end is closed");
            stopping = true;
        }
    }
    if (options.noiseRate > 0)
        log.text("noise bytes sent " + std::to_string(noiseSent));

    log.text("stopped; register 0x004A = " +
             std::to_string(inverter.holdingRegister(options.config.addresses.front(), 0x004A)));
    if (!options.linkPath.empty())
        ::unlink(options.linkPath.c_str());
    ::close(slaveHold);
    ::close(master);
    return 0;
}
