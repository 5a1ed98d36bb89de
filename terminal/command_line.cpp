#include "command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <map>
#include <utility>

#include "protocol.h"

namespace korvanel {

namespace {

constexpr long MAX_ADDRESS = MAX_INVERTER_ADDRESS;
// 0 is the broadcast address: every caller refuses it with its own reason,
// so the range a message names starts above it.
constexpr long FIRST_OWN_ADDRESS = BROADCAST_ADDRESS + 1;
// A list quoted in a note is cut short past this, so a note stays a line
// however long the list given.
constexpr std::size_t MAX_QUOTED_LIST = 60;
// Nine digits stay below 2^31, so no number read here overflows a long.
constexpr std::size_t MAX_DECIMAL_DIGITS = 9;

// The name a message gives: the long one of "-h,--help".
std::string LongName(const std::string& names)
{
    const std::size_t comma = names.rfind(',');
    return comma == std::string::npos ? names : names.substr(comma + 1);
}

// CLI11 sets aside what belongs to no option and goes on; each option's
// handler asks first, so the first fault on the line is the one named.
void RefuseStrays(const CLI::App& app)
{
    const std::vector<std::string> strays = app.remaining();
    if (strays.empty())
        return;
    const std::string& stray = strays.front();
    // A lone "-" often means standard input elsewhere; neither program reads it.
    if (stray == "-")
        throw UsageError("'-' is neither an option nor an argument this program takes");
    if (stray.compare(0, 2, "--") == 0)
        throw UsageError("unknown option '" + stray.substr(0, stray.find('=')) + "'");
    if (stray.compare(0, 1, "-") == 0)
        throw UsageError("unknown option '" + stray + "'");
    throw UsageError("unexpected argument '" + stray + "'");
}

// The values each option was given so far, by long name.
using GivenValues = std::map<std::string, std::string>;

// A repeated option is refused rather than letting the last one win
// unnoticed: `--address 1 --address 2` would clear only 2.
void RefuseRepeat(GivenValues& given, const std::string& name, CommandOption::Again again,
                  const std::string& value)
{
    const auto earlier = given.find(name);
    if (earlier == given.end()) {
        given.emplace(name, value);
        return;
    }
    if (again == CommandOption::Again::Taken)
        return;
    if (again == CommandOption::Again::List)
        throw UsageError(name + " given twice; give one list: " + name + " " + earlier->second +
                         "," + value);
    throw UsageError(name + " given twice; give it once");
}

void AddValueOption(CLI::App& app, const CommandOption& option, GivenValues& given)
{
    const std::string name = LongName(option.names);
    app.add_option(option.names,
                   [&app, &given, name, again = option.again,
                    take = option.take](const CLI::results_t& values) {
                       RefuseStrays(app);
                       const std::string& value = values.front();
                       // "--port --trace" forgot the port; taking "--trace" as
                       // its name would open a file of that name and silently
                       // drop the trace.
                       if (value.compare(0, 2, "--") == 0)
                           throw UsageError("option '" + name +
                                            "' needs a value, not the option '" + value + "'");
                       RefuseRepeat(given, name, again, value);
                       take(value);
                       return true;
                   })
        ->trigger_on_parse();
}

void AddSwitch(CLI::App& app, const CommandOption& option, GivenValues& seen)
{
    const std::string name = LongName(option.names);
    app.add_option(option.names,
                   [&app, &seen, name, given = option.given](const CLI::results_t& values) {
                       RefuseStrays(app);
                       // A switch given bare comes as an empty text; any
                       // other came after '=' ("--echo=1").
                       if (!values.front().empty())
                           throw UsageError("option '" + name + "' takes no value");
                       RefuseRepeat(seen, name, CommandOption::Again::Refused, "");
                       *given = true;
                       return true;
                   })
        // No values, set as a range: expected(0) would make it one of CLI11's
        // flags, which hand a bare switch the text "true", as "--echo=true" does.
        ->expected(0, 0)
        ->trigger_on_parse();
}

const CommandOption* FindOption(const std::vector<CommandOption>& options, const std::string& name)
{
    for (const CommandOption& option : options) {
        if (LongName(option.names) == name)
            return &option;
    }
    return nullptr;
}

bool IsValueOption(const std::vector<CommandOption>& options, const std::string& name)
{
    const CommandOption* option = FindOption(options, name);
    return option && option->take;
}

bool IsSwitch(const std::vector<CommandOption>& options, const std::string& name)
{
    const CommandOption* option = FindOption(options, name);
    return option && !option->take;
}

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
        error = "address '" + item + "' is outside " + std::to_string(FIRST_OWN_ADDRESS) + " to " +
                std::to_string(MAX_ADDRESS);
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

// "1, 3-5, 9": the addresses in ascending order, a run of three or more as a
// range.
std::string AddressSetText(std::vector<std::uint8_t> addresses)
{
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    std::string text;
    for (std::size_t i = 0; i < addresses.size();) {
        std::size_t last = i;
        while (last + 1 < addresses.size() && addresses[last + 1] == addresses[last] + 1)
            ++last;
        text += (text.empty() ? "" : ", ") + std::to_string(addresses[i]);
        if (last - i >= 2) {
            text += "-" + std::to_string(addresses[last]);
            i = last + 1;
        } else {
            ++i;
        }
    }
    return text;
}

} // namespace

CommandOption ValueOption(std::string names, std::function<void(const std::string&)> take)
{
    return {std::move(names), std::move(take), nullptr, CommandOption::Again::Refused};
}

CommandOption SwitchOption(std::string names, bool& given)
{
    return {std::move(names), {}, &given, CommandOption::Again::Refused};
}

CommandOption ListOption(std::string names, std::function<void(const std::string&)> take)
{
    CommandOption option = ValueOption(std::move(names), std::move(take));
    option.again = CommandOption::Again::List;
    return option;
}

void ParseCommandLine(const std::vector<CommandOption>& options,
                      const std::vector<std::string>& args)
{
    CLI::App app;
    // --help is a switch like any other: the program decides what it does
    // next to the rest of the line, and prints its own text.
    app.set_help_flag();
    // Strays are named by RefuseStrays, in the programs' words.
    app.allow_extras();
    GivenValues given;
    for (const CommandOption& option : options) {
        if (option.take)
            AddValueOption(app, option, given);
        else
            AddSwitch(app, option, given);
    }
    // CLI11 takes the arguments last first. "--name=" with nothing after the
    // '=' gives an empty value, as it always has, rather than taking the
    // next argument as the value.
    std::vector<std::string> reversed;
    for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
        const bool emptyInline =
            arg->size() > 3 && arg->compare(0, 2, "--") == 0 && arg->back() == '=';
        const std::string name = emptyInline ? arg->substr(0, arg->size() - 1) : std::string();
        if (emptyInline && IsValueOption(options, name)) {
            reversed.emplace_back();
            reversed.push_back(name);
        } else if (emptyInline && IsSwitch(options, name)) {
            throw UsageError("option '" + name + "' takes no value");
        } else {
            reversed.push_back(*arg);
        }
    }
    try {
        app.parse(reversed);
    } catch (const CLI::ArgumentMismatch&) {
        // The argument after an option is taken as its value whatever it
        // looks like, so only the last argument can run short of one.
        const std::string& last = args.back();
        throw UsageError("option '" + last.substr(0, last.find('=')) + "' needs a value");
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }
    RefuseStrays(app);
}

void PrintUsageError(std::ostream& err, const char* program, const std::string& what)
{
    err << program << ": " << what << "\nTry '" << program << " --help'.\n";
}

bool ParseDecimal(const std::string& text, long& value)
{
    if (text.empty() || text.size() > MAX_DECIMAL_DIGITS)
        return false;
    value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

std::string RepeatsNote(const std::vector<std::uint8_t>& repeated, const std::string& listText,
                        const char* done)
{
    if (repeated.empty())
        return {};
    const bool one = repeated.size() == 1;
    const std::string quoted =
        listText.size() <= MAX_QUOTED_LIST ? listText : listText.substr(0, MAX_QUOTED_LIST) + "...";
    return std::string(one ? "address " : "addresses ") + AddressSetText(repeated) +
           (one ? " is" : " are") + " named more than once in '" + quoted + "'; " +
           (one ? "it is " : "each is ") + done + " once";
}

bool ParseAddressList(const std::string& text, std::vector<std::uint8_t>& addresses,
                      std::string& error)
{
    addresses.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
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

} // namespace korvanel
