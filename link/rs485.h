// A serial line's direction control and what its driver settled at open
// beyond the line settings. On a board's UART or a gateway's RS-485 HAT the
// transceiver's driver-enable pin hangs on RTS, and the kernel (Linux) or
// the serial driver (Windows) must switch it around every frame; a USB
// adapter switches direction in hardware and needs none of this.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "port_name.h"

namespace korvanel {

// The RTS delays the mode may be given, in whole milliseconds.
constexpr std::uint32_t RS485_MAX_DELAY_MS = 1000;

// What the next open() asks of the driver's RS-485 mode; off unless a
// caller asks.
struct Rs485Settings {
    bool enabled = false;
    // RTS high while a frame goes out and low after it (rts-high), or the
    // inverted polarity (rts-low).
    bool rtsHighOnSend = true;
    // From RTS switching to the first bit, and from the last bit to RTS
    // switching back.
    std::uint32_t delayBeforeMs = 0;
    std::uint32_t delayAfterMs = 0;

    bool operator==(const Rs485Settings& other) const
    {
        return enabled == other.enabled && rtsHighOnSend == other.rtsHighOnSend &&
               delayBeforeMs == other.delayBeforeMs && delayAfterMs == other.delayAfterMs;
    }
    // "rts-high", "rts-low": the names --rs485 takes.
    const char* modeName() const;
    // "off", or "rts-high, RTS delays 1 ms before and 2 ms after sending".
    std::string text() const;
};

// Reads --rs485's MODE ("rts-high", "rts-low") into `settings`, which it
// turns on. False, with `error` saying why, for any other text.
bool ParseRs485Mode(const std::string& text, Rs485Settings& settings, std::string& error);
// Reads --rs485-delay's "BEFORE[,AFTER]" (whole milliseconds, 0 to
// RS485_MAX_DELAY_MS; AFTER 0 when left out) into `settings`.
bool ParseRs485Delay(const std::string& text, Rs485Settings& settings, std::string& error);

// The command line's `args` with each "--rs485=MODE" turned into a bare
// "--rs485" (the switch whose value may be left out) and MODE read into
// `settings`; false, with `error` saying why, for a MODE not known.
bool TakeRs485Mode(std::vector<std::string>& args, Rs485Settings& settings, std::string& error);
// Reads --rs485-delay's text, when given, into `asked`, and says why the
// mode asked cannot run on `port`, as a usage error; empty when it can.
std::string Rs485Conflict(Rs485Settings& asked, const std::optional<std::string>& delay,
                          const PortAddress& port);

// Why this platform's serial port cannot run `asked`, as a usage error;
// empty when it can. rs485_posix.cpp or rs485_win32.cpp answers it.
std::string Rs485Unsupported(const Rs485Settings& asked);

// What became of the driver's low-latency flag at open.
enum class LowLatency {
    None,        // no serial driver to ask (a network port, a closed one)
    TurnedOn,    // we set it; the flags found come back at close
    AlreadyOn,   // it was set when we came
    Refused,     // the driver would not set it
    Unavailable, // the driver has no such flag (a pseudo-terminal, Windows)
};
// "turned on", "already on", "refused", "unavailable"; empty for None.
const char* LowLatencyName(LowLatency state);

// What a serial driver settled at open beyond the line settings.
struct SerialDriverState {
    // False for a port without a serial driver of ours; the rest is unset.
    bool serial = false;
    // The RS-485 mode in force, as the driver read it back (off when not
    // asked for).
    Rs485Settings rs485;
    LowLatency lowLatency = LowLatency::None;
};

// One line for the trace: "RS-485 off; low latency turned on".
std::string DriverStateText(const SerialDriverState& state);

} // namespace korvanel
