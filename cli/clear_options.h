// The command line of korvanel-clear, parsed without touching any port, so
// every accepted and rejected form is checked in a table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "line_settings.h"
#include "port_name.h"
#include "protocol.h"
#include "rs485.h"

namespace korvanel {

constexpr std::int32_t CLI_MIN_PERIOD_MS = 10;
constexpr std::int32_t CLI_MAX_PERIOD_MS = 60000;
// An hour: far beyond any inverter's own store-and-check cycle.
constexpr double CLI_MAX_SETTLE_S = 3600;
// A millisecond, the finest step of the program's times (--period counts
// in it); the refusal names it, so 1e-9 is not told "above 0".
constexpr double CLI_MIN_SETTLE_S = 0.001;

struct ClearOptions {
    enum class Action { Run, Help, Version, ListPorts };
    // How the clear is written: Write Single Register (0x06), Write Multiple
    // Registers of one register (0x10), or 0x06 first and 0x10 once an
    // inverter answers exception 01 (illegal function) to it.
    enum class WriteFunction { Single, Multiple, Auto };

    Action action = Action::Run;
    // The dialog's defaults.
    PortAddress port{PortScheme::Serial, DEFAULT_PORT_NAME, {}, 0};
    std::vector<std::uint8_t> addresses{1};
    std::int32_t pollPeriodMs = DEFAULT_POLL_PERIOD_MS;
    bool trace = false;
    // Report tick handler times and the process's descriptors or handles
    // and memory, at the start, after the first run and at the end.
    bool stats = false;
    // The line hands back what we send (--echo), or does not (--no-echo);
    // with neither, the session finds out before its first write.
    bool echo = false;
    bool noEcho = false;
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
    // The line settings the port is opened with: one (9600 8N1 unless
    // --baud, --parity or --stop-bits say otherwise), or for --scan every
    // combination of its lists, in the order they are tried (each rate with
    // each parity in turn).
    std::vector<LineSettings> lineSettings{LineSettings{}};
    WriteFunction function = WriteFunction::Single;
    // With --verify: keep reading back until this many seconds after the
    // write; 0 reads back once.
    double settleSeconds = 0;
    // JSON Lines on standard output instead of the text lines.
    bool json = false;
    // --rs485[=MODE] and --rs485-delay: the driver's direction control.
    Rs485Settings rs485;

    // --capture: every frame sent and every byte heard, written to this
    // file as it goes (capture_file.h); empty for none.
    std::string capturePath;
};

// A transparent TCP converter and a Modbus TCP gateway keep line settings
// of their own, which nothing we send can change.
bool HasNoLineOfOurs(const PortAddress& port);

// One exchange's line time at `line`: a request, its reply and the silence
// before each, rounded up to whole milliseconds. A shorter period checks
// before any reply can be whole. 9600 8N1: 16 x 1042 us + 2 x 3647 us = 24 ms.
std::int32_t ShortestPollPeriodMs(const LineSettings& line);

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

const char* ClearUsageText();

} // namespace korvanel
