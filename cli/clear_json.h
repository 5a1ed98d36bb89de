// korvanel-clear's --json output: JSON Lines, one object per address and a
// final summary object, each on one line so a script can read them one at
// a time (jq, Python's json.loads per line).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rs485.h"

namespace korvanel {

// What one address came to, in any mode.
struct AddressRecord {
    int address = 0;
    // "cleared", "failed", "refused", "lost", "answered", "busy" (a scan's
    // inverter that is there but busy), "gateway" (a scan's address a
    // gateway could not reach), "silent" or "broadcast".
    std::string outcome;
    // The exception code the inverter answered with; 0 for none (null).
    std::uint8_t exceptionCode = 0;
    // Frames sent to the address.
    unsigned requests = 0;
    long elapsedMs = 0;
    // The register value read (verify, settle, scan).
    bool hasValue = false;
    std::uint16_t value = 0;
    // Verify and settle only; null otherwise.
    bool hasVerified = false;
    bool verified = false;
    // What the last read back came to: "value", "refused", "busy",
    // "gateway", "no reply" or "lost" (the port went before the read back);
    // empty (null) when nothing was read back. With
    // the exception code it rests on, 0 for none.
    std::string readOutcome;
    std::uint8_t readException = 0;
    // "19200 8E1".
    std::string settings;
    // Echo learned, function fallback, late reply...
    std::vector<std::string> notes;
};

// The last object of a session.
struct SummaryRecord {
    // "clear", "verify", "scan" or "broadcast".
    std::string mode;
    unsigned addresses = 0;
    // Cleared (and verified, in verify mode), or answered in a scan.
    unsigned succeeded = 0;
    long elapsedMs = 0;
    // The line settings used, or for a scan those an inverter answered at.
    std::vector<std::string> settings;
    int exitStatus = 0;
    // A serial line's RS-485 mode in force (null when off) and whether low
    // latency took (null for a network port).
    SerialDriverState driver;
};

// {"address": 3, "outcome": "cleared", "exception": null, ...} without the
// line end.
std::string JsonLine(const AddressRecord& record);
// {"summary": true, "mode": "scan", ...} without the line end.
std::string JsonLine(const SummaryRecord& summary);

} // namespace korvanel
