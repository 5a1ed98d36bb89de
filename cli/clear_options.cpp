#include "clear_options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

#include "capture_file.h"
#include "clear_run.h"
#include "command_line.h"
#include "port_name.h"

namespace korvanel {

namespace {

// Address 0 in a list would write every inverter on the bus, and the run
// would then fail for want of an answer that never comes.
void RefuseBroadcastInList(const std::string& text, const std::vector<std::uint8_t>& addresses)
{
    if (std::find(addresses.begin(), addresses.end(), BROADCAST_ADDRESS) != addresses.end())
        throw UsageError(
            "address list '" + text +
            "' holds 0, the broadcast address: every inverter on the bus executes a "
            "write to 0 and none answers. To clear them all, give --broadcast instead");
}

// A read sent to 0 is answered by no one, so a scan cannot ask it.
void RefuseBroadcastInScan(const std::string& text, const std::vector<std::uint8_t>& addresses)
{
    if (std::find(addresses.begin(), addresses.end(), BROADCAST_ADDRESS) != addresses.end())
        throw UsageError("scan list '" + text +
                         "' holds 0, the broadcast address, which no inverter answers");
}

// Each address once, in the order first named; the repeats, for a note.
std::vector<std::uint8_t> DropRepeats(std::vector<std::uint8_t>& addresses)
{
    std::vector<std::uint8_t> once;
    std::vector<std::uint8_t> repeated;
    for (const std::uint8_t a : addresses) {
        if (std::find(once.begin(), once.end(), a) == once.end())
            once.push_back(a);
        else if (std::find(repeated.begin(), repeated.end(), a) == repeated.end())
            repeated.push_back(a);
    }
    addresses = once;
    return repeated;
}

// "9600,19200" -> its items; an empty one is refused.
std::vector<std::string> ListItems(const std::string& text)
{
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        items.push_back(
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (items.back().empty())
            throw UsageError("list '" + text + "' has an empty item");
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

template <typename T>
void AddOnce(std::vector<T>& list, const T& item)
{
    if (std::find(list.begin(), list.end(), item) == list.end())
        list.push_back(item);
}

std::vector<std::uint32_t> BaudList(const std::string& text)
{
    std::vector<std::uint32_t> rates;
    for (const std::string& item : ListItems(text)) {
        long baud = 0;
        if (!ParseDecimal(item, baud) || !IsStandardBaud(static_cast<std::uint32_t>(baud))) {
            std::string standard;
            for (const std::uint32_t rate : STANDARD_BAUD_RATES)
                standard += (standard.empty() ? "" : ", ") + std::to_string(rate);
            throw UsageError("baud rate '" + item + "' is not one of " + standard);
        }
        AddOnce(rates, static_cast<std::uint32_t>(baud));
    }
    return rates;
}

std::vector<LineSettings::Parity> ParityList(const std::string& text)
{
    static const std::pair<const char*, LineSettings::Parity> names[] = {
        {"none", LineSettings::Parity::None},
        {"even", LineSettings::Parity::Even},
        {"odd", LineSettings::Parity::Odd},
    };
    std::vector<LineSettings::Parity> parities;
    for (const std::string& item : ListItems(text)) {
        const auto named = std::find_if(std::begin(names), std::end(names),
                                        [&](const auto& name) { return item == name.first; });
        if (named == std::end(names))
            throw UsageError("parity '" + item + "' is not none, even or odd");
        AddOnce(parities, named->second);
    }
    return parities;
}

ClearOptions::WriteFunction WriteFunctionNamed(const std::string& text)
{
    if (text == "6")
        return ClearOptions::WriteFunction::Single;
    if (text == "16")
        return ClearOptions::WriteFunction::Multiple;
    if (text == "auto")
        return ClearOptions::WriteFunction::Auto;
    throw UsageError("function '" + text + "' is not 6, 16 or auto");
}

// "10", "1.5": seconds from a millisecond up, digits with at most one
// decimal point.
double SettleSeconds(const std::string& text)
{
    const bool plain =
        !text.empty() && text.size() <= 12 && std::isdigit(static_cast<unsigned char>(text[0])) &&
        std::count(text.begin(), text.end(), '.') <= 1 &&
        std::all_of(text.begin(), text.end(),
                    [](char c) { return c == '.' || std::isdigit(static_cast<unsigned char>(c)); });
    const double seconds = plain ? std::strtod(text.c_str(), nullptr) : 0;
    if (!(seconds >= CLI_MIN_SETTLE_S && seconds <= CLI_MAX_SETTLE_S))
        throw UsageError("settle time '" + text + "' is not a number of seconds from 0.001 to " +
                         std::to_string(static_cast<int>(CLI_MAX_SETTLE_S)) +
                         " (digits and at most one decimal point)");
    return seconds;
}

// A combination of options that cannot run, and why.
struct Conflict {
    bool when;
    std::string says;
};

} // namespace

bool HasNoLineOfOurs(const PortAddress& port)
{
    return port.scheme == PortScheme::Tcp || port.scheme == PortScheme::ModbusTcp;
}

std::int32_t ShortestPollPeriodMs(const LineSettings& line)
{
    // A Clear and its reply are REQUEST_LENGTH bytes each.
    const std::uint32_t us = 2 * LineTimeUs(line, REQUEST_LENGTH) + 2 * FrameSilenceUs(line);
    return static_cast<std::int32_t>((us + 999) / 1000);
}

namespace {

// What the option table collects beyond ClearOptions itself.
struct ClearArgs {
    bool help = false;
    bool version = false;
    bool listPorts = false;
    std::string addressText;
    std::string scanText;
    std::vector<std::uint8_t> scanList;
    std::vector<std::uint32_t> bauds;
    std::vector<LineSettings::Parity> parities;
    std::uint8_t stopBits = 1;
    bool lineGiven = false;
    bool functionGiven = false;
    bool rs485 = false;
    std::optional<std::string> rs485Delay;
};

void TakeAddressList(const std::string& text, std::vector<std::uint8_t>& addresses)
{
    std::string error;
    if (!ParseAddressList(text, addresses, error))
        throw UsageError(error);
}

// The callbacks keep `o` and `a`, which must outlive the parse.
std::vector<CommandOption> ClearOptionTable(ClearOptions& o, ClearArgs& a)
{
    return {
        ValueOption("--port",
                    [&](const std::string& value) {
                        std::string error;
                        if (!ParsePortAddress(value, o.port, error))
                            throw UsageError(error);
                    }),
        ListOption("--address",
                   [&](const std::string& value) {
                       TakeAddressList(value, o.addresses);
                       RefuseBroadcastInList(value, o.addresses);
                       a.addressText = value;
                   }),
        ListOption("--scan",
                   [&](const std::string& value) {
                       TakeAddressList(value, a.scanList);
                       RefuseBroadcastInScan(value, a.scanList);
                       a.scanText = value;
                       o.scan = true;
                   }),
        ValueOption("--period",
                    [&](const std::string& value) {
                        long ms = 0;
                        if (!ParseDecimal(value, ms) || ms < CLI_MIN_PERIOD_MS ||
                            ms > CLI_MAX_PERIOD_MS)
                            throw UsageError("period '" + value +
                                             "' is not a number of milliseconds from " +
                                             std::to_string(CLI_MIN_PERIOD_MS) + " to " +
                                             std::to_string(CLI_MAX_PERIOD_MS));
                        o.pollPeriodMs = static_cast<std::int32_t>(ms);
                    }),
        ListOption("--baud", [&](const std::string& value) { a.bauds = BaudList(value); }),
        ListOption("--parity", [&](const std::string& value) { a.parities = ParityList(value); }),
        ValueOption("--stop-bits",
                    [&](const std::string& value) {
                        if (value != "1" && value != "2")
                            throw UsageError("stop bits '" + value + "' are not 1 or 2");
                        a.stopBits = static_cast<std::uint8_t>(value[0] - '0');
                        a.lineGiven = true;
                    }),
        ValueOption("--function",
                    [&](const std::string& value) {
                        o.function = WriteFunctionNamed(value);
                        a.functionGiven = true;
                    }),
        ValueOption("--settle",
                    [&](const std::string& value) { o.settleSeconds = SettleSeconds(value); }),
        SwitchOption("--rs485", a.rs485),
        ValueOption("--rs485-delay", [&](const std::string& value) { a.rs485Delay = value; }),
        SwitchOption("--json", o.json),
        SwitchOption("--trace", o.trace),
        SwitchOption("--stats", o.stats),
        SwitchOption("--echo", o.echo),
        SwitchOption("--no-echo", o.noEcho),
        SwitchOption("--dialog-rules", o.dialogRules),
        SwitchOption("--broadcast", o.broadcast),
        SwitchOption("--verify", o.verify),
        SwitchOption("--list-ports", a.listPorts),
        ValueOption("--capture", [&](const std::string& value) { o.capturePath = value; }),
        SwitchOption("-h,--help", a.help),
        SwitchOption("--version", a.version),
    };
}

// Every combination of --baud and --parity, at the stop bits given.
void ExpandLineSettings(ClearOptions& o, ClearArgs& a)
{
    a.lineGiven = a.lineGiven || !a.bauds.empty() || !a.parities.empty();
    o.lineSettings.clear();
    for (const std::uint32_t baud :
         a.bauds.empty() ? std::vector<std::uint32_t>{DEFAULT_BAUD} : a.bauds) {
        for (const LineSettings::Parity parity :
             a.parities.empty() ? std::vector<LineSettings::Parity>{LineSettings::Parity::None}
                                : a.parities)
            o.lineSettings.push_back(LineSettings{baud, parity, a.stopBits});
    }
}

LineSettings SlowestSetting(const std::vector<LineSettings>& settings)
{
    return *std::max_element(settings.begin(), settings.end(),
                             [](const LineSettings& x, const LineSettings& y) {
                                 return ShortestPollPeriodMs(x) < ShortestPollPeriodMs(y);
                             });
}

// Why the options cannot run together, or empty when they can.
// The period must fit an exchange at the slowest setting tried; empty when
// it does.
std::string PeriodTooShort(const ClearOptions& o)
{
    const LineSettings slowest = SlowestSetting(o.lineSettings);
    const std::int32_t shortest = ShortestPollPeriodMs(slowest);
    if (o.pollPeriodMs >= shortest)
        return {};
    return "period " + std::to_string(o.pollPeriodMs) +
           " ms is shorter than one exchange on the line: at " + slowest.text() +
           " a request, its reply and the silences between take " + std::to_string(shortest) +
           " ms; give --period " + std::to_string(shortest) + " or more";
}

std::string FirstConflict(const ClearOptions& o, const ClearArgs& a)
{
    const std::string periodTooShort = PeriodTooShort(o);
    const Conflict conflicts[] = {
        {o.broadcast && !a.addressText.empty(),
         "--broadcast writes to address 0, every inverter on the bus; it takes no --address"},
        {o.broadcast && o.dialogRules,
         "--broadcast judges no reply, so --dialog-rules has nothing to judge"},
        {(o.echo || o.noEcho) && o.dialogRules,
         std::string(o.echo ? "--echo" : "--no-echo") +
             " belongs to korvanel-clear's own reply rule; the dialog's rule (--dialog-rules) has no echo "
             "setting"},
        {o.echo && o.noEcho,
         "--echo says the line echoes and --no-echo that it does not; give one, or neither to have it found "
         "out"},
        {!periodTooShort.empty(), periodTooShort},
        {o.broadcast && o.verify,
         "--verify reads each inverter back, but no inverter answers a broadcast; give --address LIST to "
         "clear and verify them"},
        {o.scan && (!a.addressText.empty() || o.broadcast || o.verify || o.dialogRules),
         "--scan only reads the addresses of its own list, judged by korvanel-clear's rule; it takes no "
         "--address, --broadcast, --verify or --dialog-rules"},
        {!o.scan && (a.bauds.size() > 1 || a.parities.size() > 1),
         "--baud and --parity take lists only with --scan, which tries every combination; a clear runs at "
         "one line setting"},
        {o.settleSeconds > 0 && !o.verify,
         "--settle keeps reading register 0x004A back after the write, so it needs --verify"},
        {o.scan && a.functionGiven, "--scan writes nothing, so it takes no --function"},
        {o.broadcast && o.function == ClearOptions::WriteFunction::Auto,
         "--function auto turns to 0x10 when an inverter refuses 0x06, but no inverter answers a broadcast; "
         "give --function 6 or 16"},
        {o.dialogRules && o.function != ClearOptions::WriteFunction::Single,
         "the dialog's rule (--dialog-rules) judges the dialog's 0x06 write only; it takes no --function 16 "
         "or auto"},
        {o.capturePath == CAPTURE_TO_STDOUT,
         "--capture - would write the capture onto standard output, which carries the result "
         "lines; give a file name"},
        {a.lineGiven && HasNoLineOfOurs(o.port),
         "'" + o.port.name +
             "' has no serial line of ours to set (the converter keeps its own); --baud, "
             "--parity and --stop-bits are for serial and rfc2217:// ports"},
    };
    for (const Conflict& conflict : conflicts) {
        if (conflict.when)
            return conflict.says;
    }
    return {};
}

// The list the runs take, the notes on repeats and the action asked for.
void Settle(ParsedClearOptions& parsed, ClearArgs& a)
{
    ClearOptions& o = parsed.options;
    if (o.broadcast)
        o.addresses = {BROADCAST_ADDRESS};
    if (o.scan) {
        o.addresses = a.scanList;
        a.addressText = a.scanText;
    }
    // The dialog's user may press the button for one inverter again and
    // again, and tests that follow the dialog do the same in one session.
    if (!o.dialogRules) {
        const std::string note =
            RepeatsNote(DropRepeats(o.addresses), a.addressText, o.scan ? "read" : "cleared");
        if (!note.empty())
            parsed.notes.push_back(note);
    }
    if (a.help)
        o.action = ClearOptions::Action::Help;
    else if (a.version)
        o.action = ClearOptions::Action::Version;
    else if (a.listPorts)
        o.action = ClearOptions::Action::ListPorts;
}

} // namespace

ParsedClearOptions ParseClearOptions(const std::vector<std::string>& args)
{
    ParsedClearOptions parsed;
    ClearArgs a;
    std::vector<std::string> line = args;
    try {
        if (!TakeRs485Mode(line, parsed.options.rs485, parsed.error))
            return parsed;
        ParseCommandLine(ClearOptionTable(parsed.options, a), line);
    } catch (const UsageError& e) {
        parsed.error = e.what();
        return parsed;
    }
    ExpandLineSettings(parsed.options, a);
    parsed.options.rs485.enabled = a.rs485;
    parsed.error = FirstConflict(parsed.options, a);
    if (parsed.error.empty())
        parsed.error = Rs485Conflict(parsed.options.rs485, a.rs485Delay, parsed.options.port);
    if (!parsed.error.empty())
        return parsed;
    Settle(parsed, a);
    parsed.ok = true;
    return parsed;
}

} // namespace korvanel
