// What the command lines of korvanel-clear and korvanel-sim share: the
// options parsed by CLI11 with the programs' own usage texts, the address
// list and the decimal number rules.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvanel {

// A usage error; what() says what is wrong. The program names it and ends
// with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One option of a program. An option with a value is given as
// "--name VALUE" or "--name=VALUE"; the argument after "--name" is its value
// whatever it looks like, so a value that starts with "--" (a forgotten
// value) is refused. A switch takes no value.
struct CommandOption {
    // What a second "--name" on one line means.
    enum class Again {
        Refused, // a usage error: "--port given twice; give it once"
        List,    // a usage error that shows the one list: "--address 1,2"
        Taken,   // each is handed on ("--fault 3:silent --fault 7:exception")
    };

    // "--port", or a short and a long name: "-h,--help".
    std::string names;
    // An option with a value: called with each value given, in turn; throws
    // UsageError for a value it refuses.
    std::function<void(const std::string&)> take;
    // A switch: set when the switch is given.
    bool* given = nullptr;
    Again again = Again::Refused;
};

CommandOption ValueOption(std::string names, std::function<void(const std::string&)> take);
CommandOption SwitchOption(std::string names, bool& given);
// A value that is a comma-separated list: given twice, the usage error
// shows the two joined into one.
CommandOption ListOption(std::string names, std::function<void(const std::string&)> take);

// Parses `args` (the arguments after the program name) and hands each
// option to its handler in command-line order. Throws UsageError for the
// first fault on the line: an unknown option, an argument that belongs to
// no option, a missing value or a refused one.
void ParseCommandLine(const std::vector<CommandOption>& options,
                      const std::vector<std::string>& args);

// "korvanel-clear: WHAT" and the hint, on `err`.
void PrintUsageError(std::ostream& err, const char* program, const std::string& what);

// "7", "1-4,7", "0-255": addresses 0 to 255, in the order given. Every
// caller refuses 0, the broadcast address, with its own reason, so a number
// above 255 is said to be outside 1 to 255. False, with `error` saying why,
// for anything else.
bool ParseAddressList(const std::string& text, std::vector<std::uint8_t>& addresses,
                      std::string& error);

// One note for every address of a list named more than once, however
// often and however long the list: "addresses 3, 4 are named more than once
// in '3-5,4,3,9'; each is cleared once" (`done`: "cleared"). Empty when
// `repeated` is.
std::string RepeatsNote(const std::vector<std::uint8_t>& repeated, const std::string& listText,
                        const char* done);

// A decimal number of at most nine digits, no sign or spaces.
bool ParseDecimal(const std::string& text, long& value);

} // namespace korvanel
