// The virtual inverter's Modbus side: holding registers for one or more
// addresses on a bus, and the replies it sends, faithful or faulty. No I/O:
// the simulator's main loop feeds it whole frames and sends what it returns.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "protocol.h"

namespace korvanel {

using FrameBytes = std::vector<std::uint8_t>;

enum class SimFault {
    None,         // the standard reply
    Silent,       // never answers
    Exception,    // exception reply: function | 0x80, SimConfig::exceptionCode
    BadCheck,     // the reply with both check bytes corrupted
    StrayByte,    // one 0x00 byte, then the reply
    OtherAddress, // the reply from another address byte, check valid
    Split,        // the reply in two halves, a pause between them
    Flood,        // junk in place of the reply
    RefuseRead,   // writes answered, reads refused with SimConfig::exceptionCode
    Fc16Only,     // Write Single Register (0x06) refused with exception 01; 0x10 taken
};

// Each inverter holds registers 0x0000 to 0x00FF; a request for any other is
// refused with exception 02 (illegal data address).
constexpr unsigned SIM_HELD_REGISTERS = 0x0100;

struct SimConfig {
    std::vector<std::uint8_t> addresses{1};
    SimFault fault = SimFault::None;
    // Addresses that misbehave in their own way, so one bus can mix working
    // and faulty inverters; the others follow `fault`.
    std::map<std::uint8_t, SimFault> faultByAddress;
    // Requests addressed to us before this one go unanswered (and unapplied).
    unsigned answerFrom = 1;
    unsigned splitDelayMs = 1500;
    unsigned floodBytes = 300;
    std::uint16_t initialClearValue = 0x1234;
    // The code of the exception fault's replies.
    std::uint8_t exceptionCode = EXCEPTION_SERVER_DEVICE_FAILURE;
    // Every reply starts this long after the request (on top of a split's
    // own pause), so it can fall into a later tick or a later run.
    unsigned replyDelayMs = 0;
    // Sent just before every reply, as a glitch at the line's turnaround.
    std::vector<std::uint8_t> junkBefore;
    // Writes are acknowledged but change nothing: an inverter that says yes
    // and does nothing.
    bool ignoreWrite = false;
    // A write takes effect this long after it is acknowledged; reads show
    // the old value until then, as an inverter that stores slowly.
    unsigned applyDelayMs = 0;
    // A write that took effect is undone this long after (0: never), as an
    // inverter whose own logic puts the value back.
    unsigned revertAfterMs = 0;
};

// A part of a reply, sent `delayMs` after the part before it (or after the
// request for the first part).
struct ReplyChunk {
    unsigned delayMs = 0;
    FrameBytes bytes;
};

struct FrameOutcome {
    std::vector<ReplyChunk> reply;
    // What the frame was, for the log: "write 0x004A = 0x0000", "not ours"...
    std::string note;
};

constexpr std::uint8_t STRAY_BYTE = 0x00;

class VirtualInverter {
public:
    explicit VirtualInverter(SimConfig config);

    // One request as delimited by a silent gap on the line, `nowMs` after
    // the simulator started (it times delayed and undone writes).
    FrameOutcome handleFrame(const FrameBytes& frame, std::uint64_t nowMs = 0);
    // Lets the delayed and undone writes due by `nowMs` land.
    void advanceTo(std::uint64_t nowMs);

    std::uint16_t holdingRegister(std::uint8_t address, std::uint16_t reg) const;
    unsigned requestsSeen() const { return requestsSeen_; }

    // "silent", "exception", ...; false for an unknown name.
    static bool ParseFault(const std::string& name, SimFault& fault);
    // "FF00", "ff 00": pairs of hex digits, spaces allowed between pairs.
    static bool ParseHexBytes(const std::string& text, std::vector<std::uint8_t>& bytes);
    static const char* FaultNames();

private:
    FrameBytes answer(std::uint8_t address, const FrameBytes& frame, std::string& note);
    SimFault faultFor(std::uint8_t address) const;
    std::vector<ReplyChunk> shape(SimFault fault, FrameBytes reply, std::string& note) const;
    std::vector<ReplyChunk> lineFaults(std::vector<ReplyChunk> reply, std::string& note) const;
    // A write of `value`, now or later as the config says; the note tells when.
    void store(std::uint8_t address, std::uint16_t reg, std::uint16_t value, std::string& note);

    struct Change {
        std::uint8_t address;
        std::uint16_t reg;
        std::uint16_t value;
    };

    SimConfig config_;
    // Sparse: a register of the held block never written reads 0.
    std::map<std::uint8_t, std::map<std::uint16_t, std::uint16_t>> registers_;
    unsigned requestsSeen_ = 0;
    std::uint64_t nowMs_ = 0;
    // Writes still to land, by the time they do; equal times in write order.
    std::multimap<std::uint64_t, Change> pending_;
};

} // namespace korvanel
