// korvanel-clear's command line: what is accepted, what each form means, and
// what a usage error says.
#include "clear_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvanel {
namespace {

using Args = std::vector<std::string>;
using Addresses = std::vector<std::uint8_t>;

TEST(ClearOptions, DefaultsAreTheDialogs)
{
    const ParsedClearOptions p = ParseClearOptions({});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.action, ClearOptions::Action::Run);
    EXPECT_EQ(p.options.port.name, "COM1");
    EXPECT_EQ(p.options.addresses, Addresses{1});
    EXPECT_EQ(p.options.pollPeriodMs, 1000);
    EXPECT_FALSE(p.options.trace);
}

TEST(ClearOptions, AcceptedForms)
{
    struct Row {
        Args args;
        std::string port;
        Addresses addresses;
        std::int32_t period;
        bool trace;
    };
    const Row rows[] = {
        {{"--port", "ttyUSB0"}, "ttyUSB0", {1}, 1000, false},
        {{"--port=/dev/pts/3", "--trace"}, "/dev/pts/3", {1}, 1000, true},
        {{"--port", ""}, "", {1}, 1000, false},
        {{"--port=", "--trace"}, "", {1}, 1000, true},
        {{"--port", "modbus-tcp://[::1]"}, "modbus-tcp://[::1]", {1}, 1000, false},
        {{"--address", "255"}, "COM1", {255}, 1000, false},
        {{"--address=1-4,7"}, "COM1", {1, 2, 3, 4, 7}, 1000, false},
        {{"--address", "9,3,3"}, "COM1", {9, 3}, 1000, false},
        {{"--address", "5-5"}, "COM1", {5}, 1000, false},
        {{"--period", "24"}, "COM1", {1}, 24, false},
        {{"--period", "60000"}, "COM1", {1}, 60000, false},
        {{"--period=030"}, "COM1", {1}, 30, false},
    };
    for (const Row& row : rows) {
        const ParsedClearOptions p = ParseClearOptions(row.args);
        ASSERT_TRUE(p.ok) << row.args[0] << ": " << p.error;
        EXPECT_EQ(p.options.port.name, row.port) << row.args[0];
        EXPECT_EQ(p.options.addresses, row.addresses) << row.args[0];
        EXPECT_EQ(p.options.pollPeriodMs, row.period) << row.args[0];
        EXPECT_EQ(p.options.trace, row.trace) << row.args[0];
    }
    EXPECT_EQ(ParseClearOptions({"--address", "1-255"}).options.addresses.size(), 255u);
    const PortAddress gateway = ParseClearOptions({"--port", "modbus-tcp://[::1]"}).options.port;
    EXPECT_TRUE(gateway.scheme == PortScheme::ModbusTcp && gateway.peer() == "[::1]:502");
}

TEST(ClearOptions, ReplyRuleBroadcastAndRepeats)
{
    struct Row {
        Args args;
        Addresses addresses;
        bool echo;
        bool dialogRules;
        bool broadcast;
        std::vector<std::string> notes;
    };
    std::string many;
    for (int i = 0; i < 30000; ++i)
        many += "1-3,";
    many += "9";
    const Row rows[] = {
        {{}, {1}, false, false, false, {}},
        {{"--echo"}, {1}, true, false, false, {}},
        {{"--dialog-rules", "--address", "2"}, {2}, false, true, false, {}},
        {{"--broadcast"}, {0}, false, false, true, {}},
        {{"--broadcast", "--echo"}, {0}, true, false, true, {}},
        {{"--port", "modbus-tcp://gw", "--echo"}, {1}, true, false, false, {}},
        {{"--port", "modbus-tcp://gw", "--no-echo"}, {1}, false, false, false, {}},
        {{"--address", "1,1,1"}, {1}, false, false, false,
         {"address 1 is named more than once in '1,1,1'; it is cleared once"}},
        {{"--address", "3-5,4,3,9"}, {3, 4, 5, 9}, false, false, false,
         {"addresses 3, 4 are named more than once in '3-5,4,3,9'; each is cleared once"}},
        // One note of a bounded length however often the list repeats.
        {{"--address", many}, {1, 2, 3, 9}, false, false, false,
         {"addresses 1-3 are named more than once in "
          "'1-3,1-3,1-3,1-3,1-3,1-3,1-3,1-3,1-3,1-3,1-3,1-3,1-3,1-3,1-3,...'; each is cleared once"}},
        // The dialog's user presses the button as often as they like; tests
        // that follow the dialog do the same in one session.
        {{"--address", "1,2,1", "--dialog-rules"}, {1, 2, 1}, false, true, false, {}},
    };
    for (const Row& row : rows) {
        const ParsedClearOptions p = ParseClearOptions(row.args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.options.addresses, row.addresses) << p.error;
        EXPECT_EQ(p.options.echo, row.echo);
        EXPECT_EQ(p.options.dialogRules, row.dialogRules);
        EXPECT_EQ(p.options.broadcast, row.broadcast);
        EXPECT_EQ(p.notes, row.notes);
    }
}

TEST(ClearOptions, UsageErrorsSayWhatIsWrong)
{
    struct Row {
        Args args;
        const char* says;
    };
    const Row rows[] = {
        {{"--address", "256"}, "address '256' is outside 1 to 255"},
        {{"--address", "300"}, "address '300' is outside 1 to 255"},
        {{"--address", "-1"}, "'-1' is not an address range"},
        {{"--address", "+1"}, "'+1' is not an address"},
        {{"--address", " 1"}, "' 1' is not an address"},
        {{"--address", "1.5"}, "'1.5' is not an address"},
        {{"--address", "0x10"}, "'0x10' is not an address"},
        {{"--address", "1-"}, "'1-' is not an address range"},
        {{"--address", "1-2-3"}, "'1-2-3' is not an address range"},
        {{"--address", "4-1"}, "range '4-1' runs backwards"},
        {{"--address", "250-256"}, "address '250-256' is outside 1 to 255"},
        {{"--address", "0"},
         "address list '0' holds 0, the broadcast address: every inverter on the bus executes a "
         "write to 0 and none answers. To clear them all, give --broadcast instead"},
        {{"--address", "0-3"},
         "address list '0-3' holds 0, the broadcast address: every inverter on the bus executes a "
         "write to 0 and none answers. To clear them all, give --broadcast instead"},
        {{"--address", "5,7,0"},
         "address list '5,7,0' holds 0, the broadcast address: every inverter on the bus executes a "
         "write to 0 and none answers. To clear them all, give --broadcast instead"},
        {{"--broadcast", "--address", "3"},
         "--broadcast writes to address 0, every inverter on the bus; it takes no --address"},
        {{"--echo", "--dialog-rules"},
         "--echo belongs to korvanel-clear's own reply rule; the dialog's rule (--dialog-rules) "
         "has no echo setting"},
        {{"--dialog-rules", "--broadcast"},
         "--broadcast judges no reply, so --dialog-rules has nothing to judge"},
        {{"--port", "--trace"}, "option '--port' needs a value, not the option '--trace'"},
        {{"--address", "--period", "20"}, "option '--address' needs a value, not the option '--period'"},
        {{"--port=--trace"}, "option '--port' needs a value, not the option '--trace'"},
        {{"--echo=1"}, "option '--echo' takes no value"},
        // Nothing after '=' is an empty value, never the next argument.
        {{"--echo=", "--trace"}, "option '--echo' takes no value"},
        {{"--address=", "5"}, "address list '' has an empty item"},
        {{"--verify=yes"}, "option '--verify' takes no value"},
        {{"--broadcast", "--verify"},
         "--verify reads each inverter back, but no inverter answers a broadcast; give --address LIST "
         "to clear and verify them"},
        {{"--scan", "0-3"}, "scan list '0-3' holds 0, the broadcast address, which no inverter answers"},
        {{"--scan", "1-3", "--address", "4"},
         "--scan only reads the addresses of its own list, judged by korvanel-clear's rule; it takes no "
         "--address, --broadcast, --verify or --dialog-rules"},
        {{"--dialog-rules", "--scan", "1-3"},
         "--scan only reads the addresses of its own list, judged by korvanel-clear's rule; it takes no "
         "--address, --broadcast, --verify or --dialog-rules"},
        {{"--scan", "--trace"}, "option '--scan' needs a value, not the option '--trace'"},
        {{"--address", "1,,2"}, "address list '1,,2' has an empty item"},
        {{"--address", "1,"}, "address list '1,' has an empty item"},
        {{"--address", ""}, "address list '' has an empty item"},
        {{"--address", "99999999999"}, "'99999999999' is not an address"},
        {{"--period", "9"}, "period '9' is not a number of milliseconds from 10 to 60000"},
        {{"--period", "60001"}, "period '60001' is not a number of milliseconds from 10 to 60000"},
        {{"--period", "23"},
         "period 23 ms is shorter than one exchange on the line: at 9600 8N1 a request, its reply and "
         "the silences between take 24 ms; give --period 24 or more"},
        {{"--echo", "--no-echo"},
         "--echo says the line echoes and --no-echo that it does not; give one, or neither to have it "
         "found out"},
        {{"--period", "0"}, "period '0' is not a number of milliseconds from 10 to 60000"},
        {{"--period", "-5"}, "period '-5' is not a number of milliseconds from 10 to 60000"},
        {{"--period", "1e3"}, "period '1e3' is not a number of milliseconds from 10 to 60000"},
        {{"--port"}, "option '--port' needs a value"},
        {{"--port", "tcp://gw"}, "port 'tcp://gw': no port (tcp://HOST:PORT; an IPv6 address in brackets)"},
        {{"--trace", "--address"}, "option '--address' needs a value"},
        {{"--trace=yes"}, "option '--trace' takes no value"},
        {{"--verbose"}, "unknown option '--verbose'"},
        {{"-p", "COM2"}, "unknown option '-p'"},
        {{"COM2"}, "unexpected argument 'COM2'"},
        {{"--trace", "-"}, "'-' is neither an option nor an argument this program takes"},
        // A repeated option would otherwise keep only its last value.
        {{"--address", "7", "--address", "8"}, "--address given twice; give one list: --address 7,8"},
        {{"--scan", "1-3", "--scan=9"}, "--scan given twice; give one list: --scan 1-3,9"},
        {{"--port", "COM2", "--port=COM3"}, "--port given twice; give it once"},
        {{"--period", "20", "--period", "20"}, "--period given twice; give it once"},
        {{"--trace", "--echo", "--trace"}, "--trace given twice; give it once"},
        {{"--capture", "-", "--json"},
         "--capture - would write the capture onto standard output, which carries the result "
         "lines; give a file name"},
    };
    for (const Row& row : rows) {
        const ParsedClearOptions p = ParseClearOptions(row.args);
        EXPECT_FALSE(p.ok) << row.says;
        EXPECT_EQ(p.error, row.says);
    }
}

TEST(ClearOptions, VerifyAndScan)
{
    struct Row {
        Args args;
        bool verify;
        bool scan;
        Addresses addresses;
        std::vector<std::string> notes;
    };
    const Row rows[] = {
        {{"--verify"}, true, false, {1}, {}},
        {{"--verify", "--address", "1-3", "--dialog-rules"}, true, false, {1, 2, 3}, {}},
        {{"--scan", "1-4,7"}, false, true, {1, 2, 3, 4, 7}, {}},
        {{"--scan=5,2,5", "--echo"}, false, true, {5, 2}, {"address 5 is named more than once in '5,2,5'; it is read once"}},
    };
    for (const Row& row : rows) {
        const ParsedClearOptions p = ParseClearOptions(row.args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.options.verify, row.verify);
        EXPECT_EQ(p.options.scan, row.scan);
        EXPECT_EQ(p.options.addresses, row.addresses);
        EXPECT_EQ(p.notes, row.notes);
    }
}

TEST(ClearOptions, LineSettingsFunctionSettleAndJson)
{
    using F = ClearOptions::WriteFunction;
    struct Row {
        Args args;
        std::vector<std::string> lines;  // lineSettings as text, in the order tried
        F function;
        double settle;
        bool json;
    };
    const Row rows[] = {
        {{}, {"9600 8N1"}, F::Single, 0, false},
        {{"--baud", "19200", "--parity", "even"}, {"19200 8E1"}, F::Single, 0, false},
        {{"--baud=1200", "--parity=odd", "--stop-bits=2"}, {"1200 8O2"}, F::Single, 0, false},
        {{"--port", "rfc2217://localhost:4001", "--baud", "38400"}, {"38400 8N1"}, F::Single, 0, false},
        {{"--function", "16", "--json"}, {"9600 8N1"}, F::Multiple, 0, true},
        {{"--function", "auto", "--verify", "--settle", "1.5"}, {"9600 8N1"}, F::Auto, 1.5, false},
        {{"--verify", "--settle", "0.001"}, {"9600 8N1"}, F::Single, 0.001, false},
        {{"--broadcast", "--function", "16"}, {"9600 8N1"}, F::Multiple, 0, false},
        {{"--scan", "1-3", "--baud", "9600,19200", "--parity", "none,even", "--json"},
         {"9600 8N1", "9600 8E1", "19200 8N1", "19200 8E1"}, F::Single, 0, true},
        {{"--scan", "1", "--baud", "4800,4800,2400", "--stop-bits", "2"}, {"4800 8N2", "2400 8N2"}, F::Single, 0,
         false},
        {{"--port", "tcp://localhost:4001"}, {"9600 8N1"}, F::Single, 0, false},
    };
    for (const Row& row : rows) {
        const ParsedClearOptions p = ParseClearOptions(row.args);
        ASSERT_TRUE(p.ok) << row.args[0] << ": " << p.error;
        std::vector<std::string> lines;
        for (const LineSettings& line : p.options.lineSettings)
            lines.push_back(line.text());
        EXPECT_EQ(lines, row.lines) << row.args[0];
        EXPECT_EQ(p.options.function, row.function) << row.args[0];
        EXPECT_DOUBLE_EQ(p.options.settleSeconds, row.settle) << row.args[0];
        EXPECT_EQ(p.options.json, row.json) << row.args[0];
    }
}

TEST(ClearOptions, LineAndFunctionUsageErrors)
{
    const struct {
        Args args;
        const char* says;
    } rows[] = {
        {{"--baud", "14400"}, "baud rate '14400' is not one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200"},
        {{"--baud", "9600,"}, "list '9600,' has an empty item"},
        {{"--parity", "mark"}, "parity 'mark' is not none, even or odd"},
        {{"--parity", "Even"}, "parity 'Even' is not none, even or odd"},
        {{"--stop-bits", "1.5"}, "stop bits '1.5' are not 1 or 2"},
        {{"--function", "3"}, "function '3' is not 6, 16 or auto"},
        {{"--verify", "--settle", "1e-9"}, "settle time '1e-9' is not a number of seconds from 0.001 to 3600 (digits and at most one decimal point)"},
        {{"--verify", "--settle", "0"}, "settle time '0' is not a number of seconds from 0.001 to 3600 (digits and at most one decimal point)"},
        {{"--verify", "--settle", "1e3"}, "settle time '1e3' is not a number of seconds from 0.001 to 3600 (digits and at most one decimal point)"},
        {{"--verify", "--settle", "3601"}, "settle time '3601' is not a number of seconds from 0.001 to 3600 (digits and at most one decimal point)"},
        {{"--settle", "10"}, "--settle keeps reading register 0x004A back after the write, so it needs --verify"},
        {{"--baud", "9600,19200"},
         "--baud and --parity take lists only with --scan, which tries every combination; a clear runs at one "
         "line setting"},
        {{"--scan", "1-3", "--function", "16"}, "--scan writes nothing, so it takes no --function"},
        // 11 bits a character at 1200 baud: 2 x 8 x 9167 us + 2 x 32085 us.
        {{"--scan", "1", "--baud", "9600,1200", "--parity", "none,odd", "--period", "100"},
         "period 100 ms is shorter than one exchange on the line: at 1200 8O1 a request, its reply and the silences "
         "between take 211 ms; give --period 211 or more"},
        {{"--broadcast", "--function", "auto"},
         "--function auto turns to 0x10 when an inverter refuses 0x06, but no inverter answers a broadcast; "
         "give --function 6 or 16"},
        {{"--dialog-rules", "--function", "16"},
         "the dialog's rule (--dialog-rules) judges the dialog's 0x06 write only; it takes no --function 16 or "
         "auto"},
        {{"--port", "tcp://localhost:4001", "--baud", "19200"},
         "'tcp://localhost:4001' has no serial line of ours to set (the converter keeps its own); --baud, "
         "--parity and --stop-bits are for serial and rfc2217:// ports"},
        {{"--stop-bits", "2", "--port", "modbus-tcp://localhost"},
         "'modbus-tcp://localhost' has no serial line of ours to set (the converter keeps its own); --baud, "
         "--parity and --stop-bits are for serial and rfc2217:// ports"},
    };
    for (const auto& row : rows) {
        const ParsedClearOptions p = ParseClearOptions(row.args);
        EXPECT_FALSE(p.ok) << row.says;
        EXPECT_EQ(p.error, row.says);
    }
}

TEST(ClearOptions, InformationActions)
{
    struct Row {
        Args args;
        ClearOptions::Action action;
    };
    const Row rows[] = {
        {{"--help"}, ClearOptions::Action::Help},
        {{"-h"}, ClearOptions::Action::Help},
        {{"--version"}, ClearOptions::Action::Version},
        {{"--list-ports"}, ClearOptions::Action::ListPorts},
        {{"--list-ports", "--help"}, ClearOptions::Action::Help},
        {{"--version", "--list-ports"}, ClearOptions::Action::Version},
        {{"--port", "COM4", "--trace"}, ClearOptions::Action::Run},
    };
    for (const Row& row : rows) {
        const ParsedClearOptions p = ParseClearOptions(row.args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.options.action, row.action) << row.args[0];
    }
}

TEST(ClearOptions, Rs485ModeAndDelays)
{
    const struct {
        Args args;
        Rs485Settings rs485;  // enabled, RTS high while sending, delays before and after
    } accepted[] = {
        {{}, {false, true, 0, 0}},
        {{"--rs485"}, {true, true, 0, 0}},
        {{"--rs485=rts-high"}, {true, true, 0, 0}},
        {{"--rs485=rts-low", "--rs485-delay", "1,2"}, {true, false, 1, 2}},
        {{"--rs485-delay=1000", "--rs485", "--scan", "1"}, {true, true, 1000, 0}},
        {{"--rs485", "--rs485-delay", "0,0"}, {true, true, 0, 0}},
    };
    for (const auto& row : accepted) {
        const ParsedClearOptions p = ParseClearOptions(row.args);
        // Windows can neither invert RTS nor delay it: there those rows are
        // usage errors in the platform's own words.
        const std::string unsupported = Rs485Unsupported(row.rs485);
        if (!unsupported.empty()) {
            EXPECT_FALSE(p.ok);
            EXPECT_EQ(p.error, unsupported);
            continue;
        }
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_TRUE(p.options.rs485 == row.rs485) << p.options.rs485.text();
    }
    const std::string badDelay = "' is not BEFORE[,AFTER] in whole milliseconds from 0 to 1000";
    const struct {
        Args args;
        std::string says;
    } refused[] = {
        {{"--rs485=rts"}, "RS-485 mode 'rts' is not rts-high or rts-low"},
        {{"--rs485="}, "RS-485 mode '' is not rts-high or rts-low"},
        {{"--rs485", "--rs485=rts-low"}, "--rs485 given twice; give it once"},
        {{"--rs485", "--rs485-delay", "1001"}, "RS-485 delay '1001" + badDelay},
        {{"--rs485", "--rs485-delay", "1,"}, "RS-485 delay '1," + badDelay},
        {{"--rs485", "--rs485-delay", "1,2,3"}, "RS-485 delay '1,2,3" + badDelay},
        {{"--rs485", "--rs485-delay", "-1"}, "RS-485 delay '-1" + badDelay},
        {{"--rs485", "--rs485-delay", "0.5"}, "RS-485 delay '0.5" + badDelay},
        {{"--rs485", "--rs485-delay="}, "RS-485 delay '" + badDelay},
        {{"--rs485-delay", "1,2"}, "--rs485-delay sets the RTS delays of the RS-485 mode, so it needs --rs485"},
        {{"--rs485", "--port", "rfc2217://localhost:4001"},
         "'rfc2217://localhost:4001' is a network port: the converter at its end switches the RS-485 direction "
         "itself, so --rs485 is for serial ports"},
    };
    for (const auto& row : refused) {
        const ParsedClearOptions p = ParseClearOptions(row.args);
        EXPECT_FALSE(p.ok) << row.says;
        EXPECT_EQ(p.error, row.says);
    }
}

} // namespace
} // namespace korvanel
