#include "sim_options.h"

#include <termios.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>

#include "capture_file.h"
#include "command_line.h"
#include "korvanel_version.h"
#include "line_termios.h"
#include "listener.h"

namespace korvanel {

namespace {

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

// What the parse learns beside the values: which options were given.
struct Given {
    bool help = false;
    bool version = false;
    bool busFault = false;
    bool answerAfter = false;
    bool answerFrom = false;
    // The "--fault LIST:MODE" that gave each address its own mode, so a
    // second mode for it can be named.
    std::map<std::uint8_t, std::string> faultBy;
};

const char* UsageText()
{
    return "Usage: korvanel-sim [--address LIST] [--fault MODE]\n"
           "                    [--answer-after N | --answer-from N]\n"
           "                    [--split-delay MS] [--flood-bytes N] [--initial VALUE]\n"
           "                    [--noise RATE] [--seed N] [--exception CODE] [--ignore-write]\n"
           "                    [--echo] [--echo-glitch HEX] [--echo-delay MS]\n"
           "                    [--reply-delay MS] [--junk-before HEX]\n"
           "                    [--line-rate BAUD] [--vanish-after S] [--link PATH] [--quiet]\n"
           "                    [--apply-delay MS] [--revert-after MS] [--baud N]\n"
           "                    [--listen URL] [--capture FILE]\n"
           "\n"
           "A virtual inverter on a pseudo-terminal. The first line printed is the\n"
           "port to open; frames received and sent are logged to standard error.\n"
           "Stops on SIGINT, SIGTERM or SIGHUP with status 0 (a signal ignored when\n"
           "it starts, as under nohup, stays ignored).\n"
           "\n"
           "  --address LIST    inverter addresses on the bus, 1 to 255, e.g. 1 or 1-4,7\n"
           "                    (default 1)\n"
           "  --fault MODE      none, silent, exception, bad-check, stray-byte,\n"
           "                    other-address, split, flood, refuse-read,\n"
           "                    fc16-only (exception 01 to 0x06) (default none)\n"
           "  --fault LIST:MODE the same for these addresses only (repeatable, one MODE\n"
           "                    an address; they join the bus), e.g. --fault 3-5:silent\n"
           "  --noise RATE      junk bytes per second sent onto the line (default 0)\n"
           "  --seed N          seed of the noise (default 1)\n"
           "  --answer-after N  leave the first N requests unanswered (default 0); every\n"
           "                    request with a valid check for the bus counts, whichever\n"
           "                    of its addresses it is for\n"
           "  --answer-from N   answer from the Nth request on: --answer-after N-1\n"
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
           "                    first line printed is then the URL to connect to (the\n"
           "                    loopback's for 0.0.0.0 or [::]); not with --link or --baud\n"
           "  --capture FILE    write every request heard and every byte sent (echo,\n"
           "                    replies, noise) to FILE as it goes: a pcapng capture,\n"
           "                    each frame as UDP to or from port 502\n"
           "  --quiet           log nothing\n"
           "  --version         print the version\n";
}

// "--exception 4": a number from `min` to `max`, stored in `target` with
// `offset` added.
template <typename Target>
CommandOption NumberOption(const char* name, long min, long max, Target& target, long offset = 0)
{
    return ValueOption(name, [name, min, max, offset, &target](const std::string& value) {
        long n = 0;
        if (!ParseDecimal(value, n) || n < min || n > max)
            throw UsageError(std::string(name) + " takes a number from " + std::to_string(min) +
                             " to " + std::to_string(max) + ", not '" + value + "'");
        target = static_cast<Target>(n + offset);
    });
}

// `option`, setting `given` once it took a value.
CommandOption Noted(CommandOption option, bool& given)
{
    option.take = [take = std::move(option.take), &given](const std::string& value) {
        take(value);
        given = true;
    };
    return option;
}

// Every inverter on a bus executes a broadcast (address 0) and none answers
// it, so none has 0 as its own address.
void TakeAddressList(const std::string& text, std::vector<std::uint8_t>& addresses)
{
    std::string error;
    if (!ParseAddressList(text, addresses, error))
        throw UsageError(error);
    if (std::find(addresses.begin(), addresses.end(), BROADCAST_ADDRESS) != addresses.end())
        throw UsageError("address list '" + text +
                         "' holds 0, the broadcast address, which no inverter has as its own");
}

// "--fault MODE" for the whole bus, "--fault LIST:MODE" for these addresses.
void TakeFault(const std::string& value, SimConfig& config, Given& given)
{
    const std::size_t colon = value.find(':');
    const std::string mode = colon == std::string::npos ? value : value.substr(colon + 1);
    SimFault fault = SimFault::None;
    if (!VirtualInverter::ParseFault(mode, fault))
        throw UsageError("unknown fault '" + mode + "' (one of " + VirtualInverter::FaultNames() +
                         ")");
    if (colon == std::string::npos) {
        if (given.busFault)
            throw UsageError(
                "--fault MODE given twice; give one MODE for the bus, and LIST:MODE for the others");
        given.busFault = true;
        config.fault = fault;
        return;
    }
    std::vector<std::uint8_t> own;
    TakeAddressList(value.substr(0, colon), own);
    for (const std::uint8_t a : own) {
        const auto earlier = config.faultByAddress.find(a);
        // The same mode again says nothing new; another would leave one of
        // the two unused without a word.
        if (earlier != config.faultByAddress.end() && earlier->second != fault)
            throw UsageError("address " + std::to_string(a) +
                             " is given two fault modes, by --fault " + given.faultBy[a] +
                             " and --fault " + value + "; give each address one");
        config.faultByAddress[a] = fault;
        given.faultBy.emplace(a, value);
    }
}

void TakeBaud(const std::string& value, std::uint32_t& baud)
{
    long n = 0;
    speed_t speed = B0;
    if (!ParseDecimal(value, n) || !TermiosSpeed(static_cast<std::uint32_t>(n), speed))
        throw UsageError("--baud takes a standard rate from 1200 to 115200, not '" + value + "'");
    baud = static_cast<std::uint32_t>(n);
}

// Repeatable: each "--fault LIST:MODE" adds its own group.
CommandOption FaultOption(SimConfig& config, Given& given)
{
    CommandOption option = ValueOption("--fault", [&config, &given](const std::string& value) {
        TakeFault(value, config, given);
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
std::vector<CommandOption> SimOptionTable(SimOptions& o, Given& given)
{
    SimConfig& c = o.config;
    return {
        ListOption("--address",
                   [&](const std::string& value) { TakeAddressList(value, c.addresses); }),
        FaultOption(c, given),
        NumberOption("--noise", 0, MAX_NOISE_RATE, o.noiseRate),
        NumberOption("--seed", 0, MAX_SEED, o.noiseSeed),
        Noted(NumberOption("--answer-from", 1, MAX_UNANSWERED_REQUESTS, c.answerFrom),
              given.answerFrom),
        // Leaving N unanswered is answering from request N + 1.
        Noted(NumberOption("--answer-after", 0, MAX_UNANSWERED_REQUESTS, c.answerFrom, 1),
              given.answerAfter),
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
                        if (!VirtualInverter::ParseHexBytes(value, c.junkBefore))
                            throw UsageError(
                                "--junk-before takes pairs of hex digits such as FF00, not '" +
                                value + "'");
                    }),
        ValueOption(
            "--echo-glitch",
            [&](const std::string& value) {
                if (!VirtualInverter::ParseHexBytes(value, o.echoGlitch) || o.echoGlitch.empty())
                    throw UsageError("--echo-glitch takes pairs of hex digits such as 00, not '" +
                                     value + "'");
            }),
        NumberOption("--echo-delay", 0, MAX_DELAY_MS, o.echoDelayMs),
        ValueOption("--vanish-after",
                    [&](const std::string& value) { TakeVanishAfter(value, o.vanishAfterS); }),
        ValueOption("--link", [&](const std::string& value) { o.linkPath = value; }),
        ValueOption("--capture",
                    [&](const std::string& value) {
                        // The first line on standard output is the port.
                        if (value == CAPTURE_TO_STDOUT || value.empty())
                            throw UsageError("--capture takes a file name; standard output "
                                             "carries the port's name");
                        o.capturePath = value;
                    }),
        ValueOption("--listen",
                    [&](const std::string& value) {
                        std::string error;
                        if (!Listener::CheckUrl(value, error))
                            throw UsageError(error);
                        o.listenUrl = value;
                    }),
        SwitchOption("--echo", o.echo),
        SwitchOption("--ignore-write", c.ignoreWrite),
        SwitchOption("--quiet", o.quiet),
        SwitchOption("-h,--help", given.help),
        SwitchOption("--version", given.version),
    };
}
// What options imply beyond themselves.
void CompleteSimOptions(SimOptions& o)
{
    // A glitch or a delay of the echo needs an echo.
    if (!o.echoGlitch.empty() || o.echoDelayMs > 0)
        o.echo = true;
    // An address given its own fault is on the bus too.
    SimConfig& c = o.config;
    for (const auto& own : c.faultByAddress) {
        if (std::find(c.addresses.begin(), c.addresses.end(), own.first) == c.addresses.end())
            c.addresses.push_back(own.first);
    }
}

// Options each fine alone that cannot go together; the first that holds is
// the usage error.
std::string Conflict(const SimOptions& o, const Given& given)
{
    const bool listening = !o.listenUrl.empty();
    const struct {
        bool when;
        const char* says;
    } conflicts[] = {
        // Over TCP there is no line speed for an inverter to hear.
        {o.baud != 0 && listening, "--baud needs a serial line; --listen has none"},
        {!o.linkPath.empty() && listening,
         "--link names a pseudo-terminal; --listen makes none (give the client the URL it "
         "prints)"},
        {given.answerAfter && given.answerFrom,
         "--answer-after N and --answer-from N+1 say the same; give one of them"},
    };
    for (const auto& conflict : conflicts) {
        if (conflict.when)
            return conflict.says;
    }
    return {};
}

} // namespace

int ParseSimOptions(const std::vector<std::string>& args, SimOptions& o)
{
    Given given;
    std::string error;
    try {
        ParseCommandLine(SimOptionTable(o, given), args);
        error = Conflict(o, given);
    } catch (const UsageError& e) {
        error = e.what();
    }
    if (!error.empty()) {
        PrintUsageError(std::cerr, "korvanel-sim", error);
        return 2;
    }
    if (given.help) {
        std::cout << UsageText();
        return -1;
    }
    if (given.version) {
        std::cout << "korvanel-sim " << KORVANEL_VERSION << '\n';
        return -1;
    }
    CompleteSimOptions(o);
    return 0;
}

} // namespace korvanel
