// The command line of korvanel-clear, parsed without touching any port, so
// every accepted and rejected form is checked in a table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvanel {

constexpr std::int32_t CLI_MIN_PERIOD_MS = 10;
constexpr std::int32_t CLI_MAX_PERIOD_MS = 60000;

struct ClearOptions {
    enum class Action { Run, Help, Version, ListPorts };

    Action action = Action::Run;
    // The dialog's defaults.
    std::string portName = "COM1";
    std::vector<std::uint8_t> addresses{1};
    std::int32_t pollPeriodMs = 1000;
    bool trace = false;
    // Report tick handler times and the process's descriptors or handles
    // and memory, at the start, after the first run and at the end.
    bool stats = false;
    // The line hands back what we send: take the echo off before judging.
    bool echo = false;
    // Judge replies as the dialog does, and run the list as given.
    bool dialogRules = false;
    // Write the clear to address 0, every inverter on the bus; nothing is
    // judged, since no inverter answers a broadcast.
    bool broadcast = false;
    // After each Clear OK, read register 0x004A back and say whether it is 0.
    bool verify = false;
    // Only read register 0x004A of each address (the list given to --scan,
    // held in `addresses`) and print those that answer; nothing is written.
    bool scan = false;
};

struct ParsedClearOptions {
    bool ok = false;
    ClearOptions options;
    // What is wrong, for a usage error.
    std::string error;
    // Said on standard error before the session, e.g. a duplicate address.
    std::vector<std::string> notes;
};

// `args` are the arguments after the program name.
ParsedClearOptions ParseClearOptions(const std::vector<std::string>& args);

// "7", "1-4,7", "0-255": addresses 0 to 255, in the order given (the
// simulator's bus may hold 0; korvanel-clear refuses it in a list).
// False, with `error` saying why, for anything else.
bool ParseAddressList(const std::string& text, std::vector<std::uint8_t>& addresses,
                      std::string& error);

// A decimal number of at most nine digits, no sign or spaces.
bool ParseDecimal(const std::string& text, long& value);

const char* ClearUsageText();

} // namespace korvanel
