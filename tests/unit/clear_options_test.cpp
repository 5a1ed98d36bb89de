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
    EXPECT_EQ(p.options.portName, "COM1");
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
        {{"--address", "0"}, "COM1", {0}, 1000, false},
        {{"--address", "255"}, "COM1", {255}, 1000, false},
        {{"--address=1-4,7"}, "COM1", {1, 2, 3, 4, 7}, 1000, false},
        {{"--address", "9,3,3"}, "COM1", {9, 3, 3}, 1000, false},
        {{"--address", "5-5"}, "COM1", {5}, 1000, false},
        {{"--address", "7", "--address", "8"}, "COM1", {8}, 1000, false},
        {{"--period", "10"}, "COM1", {1}, 10, false},
        {{"--period", "60000"}, "COM1", {1}, 60000, false},
        {{"--period=020"}, "COM1", {1}, 20, false},
    };
    for (const Row& row : rows) {
        const ParsedClearOptions p = ParseClearOptions(row.args);
        ASSERT_TRUE(p.ok) << row.args[0] << ": " << p.error;
        EXPECT_EQ(p.options.portName, row.port) << row.args[0];
        EXPECT_EQ(p.options.addresses, row.addresses) << row.args[0];
        EXPECT_EQ(p.options.pollPeriodMs, row.period) << row.args[0];
        EXPECT_EQ(p.options.trace, row.trace) << row.args[0];
    }
    EXPECT_EQ(ParseClearOptions({"--address", "0-255"}).options.addresses.size(), 256u);
}

TEST(ClearOptions, UsageErrorsSayWhatIsWrong)
{
    struct Row {
        Args args;
        const char* says;
    };
    const Row rows[] = {
        {{"--address", "256"}, "address '256' is outside 0 to 255"},
        {{"--address", "300"}, "address '300' is outside 0 to 255"},
        {{"--address", "-1"}, "'-1' is not an address range"},
        {{"--address", "+1"}, "'+1' is not an address"},
        {{"--address", " 1"}, "' 1' is not an address"},
        {{"--address", "1.5"}, "'1.5' is not an address"},
        {{"--address", "0x10"}, "'0x10' is not an address"},
        {{"--address", "1-"}, "'1-' is not an address range"},
        {{"--address", "1-2-3"}, "'1-2-3' is not an address range"},
        {{"--address", "4-1"}, "range '4-1' runs backwards"},
        {{"--address", "250-256"}, "address '250-256' is outside 0 to 255"},
        {{"--address", "1,,2"}, "address list '1,,2' has an empty item"},
        {{"--address", "1,"}, "address list '1,' has an empty item"},
        {{"--address", ""}, "address list '' has an empty item"},
        {{"--address", "99999999999"}, "'99999999999' is not an address"},
        {{"--period", "9"}, "period '9' is not a number of milliseconds from 10 to 60000"},
        {{"--period", "60001"}, "period '60001' is not a number of milliseconds from 10 to 60000"},
        {{"--period", "0"}, "period '0' is not a number of milliseconds from 10 to 60000"},
        {{"--period", "-5"}, "period '-5' is not a number of milliseconds from 10 to 60000"},
        {{"--period", "1e3"}, "period '1e3' is not a number of milliseconds from 10 to 60000"},
        {{"--port"}, "option '--port' needs a value"},
        {{"--trace", "--address"}, "option '--address' needs a value"},
        {{"--trace=yes"}, "option '--trace' takes no value"},
        {{"--verbose"}, "unknown option '--verbose'"},
        {{"-p", "COM2"}, "unknown option '-p'"},
        {{"COM2"}, "unexpected argument 'COM2'"},
    };
    for (const Row& row : rows) {
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

} // namespace
} // namespace korvanel
