#include "clear_options.h"

#include <algorithm>
#include <cctype>

#include "clear_run.h"

namespace korvanel {

namespace {

constexpr long MAX_ADDRESS = 255;

bool ParseAddressItem(const std::string& item, std::vector<std::uint8_t>& addresses,
                      std::string& error)
{
    const std::size_t dash = item.find('-');
    long first = 0;
    long last = 0;
    if (dash == std::string::npos) {
        if (!ParseDecimal(item, first)) {
            error = "'" + item + "' is not an address";
            return false;
        }
        last = first;
    } else if (!ParseDecimal(item.substr(0, dash), first) ||
               !ParseDecimal(item.substr(dash + 1), last)) {
        error = "'" + item + "' is not an address range";
        return false;
    }
    if (first > MAX_ADDRESS || last > MAX_ADDRESS) {
        error = "address '" + item + "' is outside 0 to 255";
        return false;
    }
    if (first > last) {
        error = "range '" + item + "' runs backwards";
        return false;
    }
    for (long a = first; a <= last; ++a)
        addresses.push_back(static_cast<std::uint8_t>(a));
    return true;
}

bool TakeValue(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
               const std::string* inlineValue, std::string& value, std::string& error)
{
    if (inlineValue) {
        value = *inlineValue;
    } else if (i + 1 >= args.size()) {
        error = "option '" + name + "' needs a value";
        return false;
    } else {
        value = args[++i];
    }
    // "--port --trace" forgot the port; taking "--trace" as its name would
    // open a file of that name and silently drop the trace.
    if (value.compare(0, 2, "--") == 0) {
        error = "option '" + name + "' needs a value, not the option '" + value + "'";
        return false;
    }
    return true;
}

// Address 0 in a list would write every inverter on the bus, and the run
// would then fail for want of an answer that never comes.
bool RefuseBroadcastInList(const std::string& text, const std::vector<std::uint8_t>& addresses,
                           std::string& error)
{
    if (std::find(addresses.begin(), addresses.end(), BROADCAST_ADDRESS) == addresses.end())
        return true;
    error = "address list '" + text +
            "' holds 0, the broadcast address: every inverter on the bus executes a write to 0 "
            "and none answers. To clear them all, give --broadcast instead";
    return false;
}

// A read sent to 0 is answered by no one, so a scan cannot ask it.
bool RefuseBroadcastInScan(const std::string& text, const std::vector<std::uint8_t>& addresses,
                           std::string& error)
{
    if (std::find(addresses.begin(), addresses.end(), BROADCAST_ADDRESS) == addresses.end())
        return true;
    error = "scan list '" + text + "' holds 0, the broadcast address, which no inverter answers";
    return false;
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

} // namespace

bool ParseDecimal(const std::string& text, long& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool ParseAddressList(const std::string& text, std::vector<std::uint8_t>& addresses,
                      std::string& error)
{
    addresses.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                               : comma - start);
        if (item.empty()) {
            error = "address list '" + text + "' has an empty item";
            return false;
        }
        if (!ParseAddressItem(item, addresses, error))
            return false;
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

ParsedClearOptions ParseClearOptions(const std::vector<std::string>& args)
{
    ParsedClearOptions parsed;
    ClearOptions& o = parsed.options;
    bool help = false;
    bool version = false;
    bool listPorts = false;
    std::string addressText;
    std::string scanText;
    std::vector<std::uint8_t> scanList;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string inlineText;
        const std::string* inlineValue = nullptr;
        const std::size_t eq = name.find('=');
        if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            inlineText = name.substr(eq + 1);
            name.resize(eq);
            inlineValue = &inlineText;
        }
        std::string value;

        if (name == "--port") {
            if (!TakeValue(args, i, name, inlineValue, value, parsed.error))
                return parsed;
            o.portName = value;
        } else if (name == "--address") {
            if (!TakeValue(args, i, name, inlineValue, value, parsed.error))
                return parsed;
            if (!ParseAddressList(value, o.addresses, parsed.error) ||
                !RefuseBroadcastInList(value, o.addresses, parsed.error))
                return parsed;
            addressText = value;
        } else if (name == "--scan") {
            if (!TakeValue(args, i, name, inlineValue, value, parsed.error))
                return parsed;
            if (!ParseAddressList(value, scanList, parsed.error) ||
                !RefuseBroadcastInScan(value, scanList, parsed.error))
                return parsed;
            scanText = value;
            o.scan = true;
        } else if (name == "--period") {
            if (!TakeValue(args, i, name, inlineValue, value, parsed.error))
                return parsed;
            long ms = 0;
            if (!ParseDecimal(value, ms) || ms < CLI_MIN_PERIOD_MS || ms > CLI_MAX_PERIOD_MS) {
                parsed.error = "period '" + value + "' is not a number of milliseconds from " +
                               std::to_string(CLI_MIN_PERIOD_MS) + " to " +
                               std::to_string(CLI_MAX_PERIOD_MS);
                return parsed;
            }
            o.pollPeriodMs = static_cast<std::int32_t>(ms);
        } else if (inlineValue && (name == "--trace" || name == "--stats" || name == "--list-ports" ||
                                   name == "--help" || name == "--version" || name == "--echo" ||
                                   name == "--dialog-rules" || name == "--broadcast" ||
                                   name == "--verify")) {
            parsed.error = "option '" + name + "' takes no value";
            return parsed;
        } else if (name == "--trace") {
            o.trace = true;
        } else if (name == "--stats") {
            o.stats = true;
        } else if (name == "--echo") {
            o.echo = true;
        } else if (name == "--dialog-rules") {
            o.dialogRules = true;
        } else if (name == "--broadcast") {
            o.broadcast = true;
        } else if (name == "--verify") {
            o.verify = true;
        } else if (name == "--list-ports") {
            listPorts = true;
        } else if (name == "--help" || name == "-h") {
            help = true;
        } else if (name == "--version") {
            version = true;
        } else if (name.compare(0, 1, "-") == 0) {
            parsed.error = "unknown option '" + name + "'";
            return parsed;
        } else {
            parsed.error = "unexpected argument '" + name + "'";
            return parsed;
        }
    }

    if (o.broadcast && !addressText.empty()) {
        parsed.error = "--broadcast writes to address 0, every inverter on the bus; "
                       "it takes no --address";
        return parsed;
    }
    if (o.broadcast && o.dialogRules) {
        parsed.error = "--broadcast judges no reply, so --dialog-rules has nothing to judge";
        return parsed;
    }
    if (o.echo && o.dialogRules) {
        parsed.error = "--echo belongs to korvanel-clear's own reply rule; "
                       "the dialog's rule (--dialog-rules) has no echo setting";
        return parsed;
    }
    if (o.broadcast && o.verify) {
        parsed.error = "--verify reads each inverter back, but no inverter answers a broadcast; "
                       "give --address LIST to clear and verify them";
        return parsed;
    }
    if (o.scan && (!addressText.empty() || o.broadcast || o.verify || o.dialogRules)) {
        parsed.error = "--scan only reads the addresses of its own list, judged by korvanel-clear's "
                       "rule; it takes no --address, --broadcast, --verify or --dialog-rules";
        return parsed;
    }
    if (o.broadcast)
        o.addresses = {BROADCAST_ADDRESS};
    if (o.scan) {
        o.addresses = scanList;
        addressText = scanText;
    }
    // The dialog's user may press the button for one inverter again and
    // again, and tests that follow the dialog do the same in one session.
    if (!o.dialogRules) {
        const std::vector<std::uint8_t> repeated = DropRepeats(o.addresses);
        for (const std::uint8_t a : repeated)
            parsed.notes.push_back("address " + std::to_string(a) + " is named more than once in '" +
                                   addressText + (o.scan ? "'; it is read once" : "'; it is cleared once"));
    }

    if (help)
        o.action = ClearOptions::Action::Help;
    else if (version)
        o.action = ClearOptions::Action::Version;
    else if (listPorts)
        o.action = ClearOptions::Action::ListPorts;
    parsed.ok = true;
    return parsed;
}

const char* ClearUsageText()
{
    return "Usage: korvanel-clear [--port NAME] [--address LIST] [--period MS] [--verify]\n"
           "                      [--echo] [--dialog-rules] [--trace] [--stats]\n"
           "       korvanel-clear [--port NAME] --broadcast [--period MS] [--echo] [--trace]\n"
           "       korvanel-clear [--port NAME] --scan LIST [--period MS] [--echo] [--trace]\n"
           "       korvanel-clear --list-ports | --help | --version\n"
           "\n"
           "Writes 0 to holding register 0x004A of each inverter in LIST over a\n"
           "Modbus RTU line at 9600 baud 8N1, and prints the outcome of each run.\n"
           "A run is cleared only by the exact reply of the inverter addressed (junk\n"
           "before it is skipped); an exception reply fails the run at once and is\n"
           "named on standard error.\n"
           "\n"
           "  --port NAME      serial port (default COM1). Windows: COMn, COM10 and\n"
           "                   above too. Linux: COMn opens /dev/ttyS(n-1), a name\n"
           "                   such as ttyUSB0 opens under /dev, a path as typed\n"
           "  --address LIST   inverter addresses 1 to 255, e.g. 7 or 1-4,7; each gets\n"
           "                   one full run, in turn, on one open port (default 1); an\n"
           "                   address named twice runs once\n"
           "  --period MS      tick period, 10 to 60000 ms (default 1000)\n"
           "  --verify         after each Clear OK, read register 0x004A back and print\n"
           "                   'verified: register 0x004A = 0' or 'not verified: ' and\n"
           "                   why; exit 0 only when every run cleared and verified\n"
           "  --scan LIST      write nothing: read register 0x004A of each address in\n"
           "                   LIST (one request, one check a period each) and print\n"
           "                   'ADDRESS: 0x004A = VALUE (0xHHHH)' or 'ADDRESS: exception\n"
           "                   CODE (meaning)' for each inverter that answers; exit 0\n"
           "                   when any answered, 1 when none did\n"
           "  --echo           the adapter hands back what it sends (two-wire RS-485\n"
           "                   without echo suppression): the echo of each request is\n"
           "                   taken off before the reply is judged\n"
           "  --dialog-rules   judge replies exactly as the dialog does (function code\n"
           "                   and check at the first byte; the address is not\n"
           "                   compared) and run LIST as given, repeats included\n"
           "  --broadcast      write the clear to address 0: every inverter on the bus\n"
           "                   executes it and none answers; sent on the usual request\n"
           "                   ticks, never judged, exit 0; not with --address\n"
           "  --trace          log every frame sent and the bytes gathered on every\n"
           "                   tick to standard error\n"
           "  --stats          report to standard error the longest tick handler time\n"
           "                   and the open descriptors (handles) and memory of the\n"
           "                   process at the start, after the first run and at the end\n"
           "  --list-ports     print the serial ports present, one per line\n"
           "  --help           print this text\n"
           "  --version        print the version\n"
           "\n"
           "Exit status: 0 every run cleared, 1 a run failed, 2 usage error, the\n"
           "port could not be opened or configured, or an outcome could not be\n"
           "written, 130 interrupted (Ctrl-C), 143 terminated.\n";
}

} // namespace korvanel
