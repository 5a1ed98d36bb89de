#include "clear_options.h"

#include <cctype>

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
        return true;
    }
    if (i + 1 >= args.size()) {
        error = "option '" + name + "' needs a value";
        return false;
    }
    value = args[++i];
    return true;
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
            if (!ParseAddressList(value, o.addresses, parsed.error))
                return parsed;
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
                                   name == "--help" || name == "--version")) {
            parsed.error = "option '" + name + "' takes no value";
            return parsed;
        } else if (name == "--trace") {
            o.trace = true;
        } else if (name == "--stats") {
            o.stats = true;
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
    return "Usage: korvanel-clear [--port NAME] [--address LIST] [--period MS] [--trace]\n"
           "                      [--stats]\n"
           "       korvanel-clear --list-ports | --help | --version\n"
           "\n"
           "Writes 0 to holding register 0x004A of each inverter in LIST over a\n"
           "Modbus RTU line at 9600 baud 8N1, and prints the outcome of each run.\n"
           "\n"
           "  --port NAME      serial port (default COM1). Windows: COMn, COM10 and\n"
           "                   above too. Linux: COMn opens /dev/ttyS(n-1), a name\n"
           "                   such as ttyUSB0 opens under /dev, a path as typed\n"
           "  --address LIST   inverter addresses 0 to 255, e.g. 7 or 1-4,7; each gets\n"
           "                   one full run, in turn, on one open port (default 1)\n"
           "  --period MS      tick period, 10 to 60000 ms (default 1000)\n"
           "  --trace          log every frame sent and the bytes gathered on every\n"
           "                   tick to standard error\n"
           "  --stats          report to standard error the longest tick handler time\n"
           "                   and the open descriptors (handles) and memory of the\n"
           "                   process at the start, after the first run and at the end\n"
           "  --list-ports     print the serial ports present, one per line\n"
           "  --help           print this text\n"
           "  --version        print the version\n"
           "\n"
           "Exit status: 0 every run cleared, 1 a run failed, 2 usage error or the\n"
           "port could not be opened or configured, 130 interrupted (Ctrl-C),\n"
           "143 terminated.\n";
}

} // namespace korvanel
