// The simulator's line, in both directions, apart from what an inverter
// says: the request gathered until the line falls silent, what goes out at
// the line's pace, and the noise a bad cable adds. Every character time
// comes from the line's settings (line_settings.h): 10 bits at 8N1, 11 with
// a parity bit or two stop bits.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>

#include "inverter.h"
#include "line_settings.h"

namespace korvanel {

using SimClock = std::chrono::steady_clock;

// Larger than any Modbus RTU frame (256 bytes): a master that never pauses
// still gets its junk logged and dropped.
constexpr std::size_t MAX_FRAME = 512;

// Noise goes out in small bursts, often enough that every tick interval of
// the shortest period (10 ms) sees some.
constexpr std::chrono::milliseconds NOISE_BURST_INTERVAL{5};

// The simulator's side of the line: what it sends leaves in order, one
// character after another, at the line's pace (9600 8N1: 1.04 ms a byte).
// An echo and a reply share the line, so a reply queued behind an echo
// follows it, as on a two-wire bus where the inverter can only answer once
// the request is off the wire.
class LineOut {
public:
    // `bitsPerSecond` 0 sends at once.
    LineOut(int fd, unsigned bitsPerSecond);

    // The parity and stop bits of the characters from now on.
    void frameAs(const LineSettings& framing);
    void queue(const FrameBytes& bytes, SimClock::time_point now);
    SimClock::time_point nextDue() const;
    // Writes every byte whose time has come; false when the write failed.
    bool send(SimClock::time_point now);

private:
    struct Byte {
        SimClock::time_point due;
        std::uint8_t byte;
    };

    int fd_;
    unsigned bitsPerSecond_;
    std::chrono::nanoseconds byteTime_{0};
    std::deque<Byte> queued_;
    SimClock::time_point freeAt_{};
};

// The bytes of the master's request, gathered until the line falls silent
// for 3.5 characters at `baud`.
class FrameAssembler {
public:
    explicit FrameAssembler(std::uint32_t baud);

    // The parity and stop bits of the characters from now on.
    void frameAs(const LineSettings& framing);
    bool empty() const { return frame_.empty(); }
    void add(const std::uint8_t* bytes, std::size_t count, SimClock::time_point now);
    // When the frame gathered so far ends unless more bytes come.
    SimClock::time_point endsAt() const;
    bool complete(SimClock::time_point now) const;
    FrameBytes take();

private:
    std::uint32_t baud_;
    std::chrono::microseconds gap_;
    FrameBytes frame_;
    SimClock::time_point lastByte_;
};

// Junk bytes onto the line at a steady rate, in small bursts.
class NoiseSource {
public:
    NoiseSource(unsigned rate, std::uint32_t seed);

    SimClock::time_point nextDue() const;
    unsigned long sent() const { return sent_; }
    // The bytes that went onto the line, for a capture.
    FrameBytes emit(int fd);

private:
    unsigned rate_;
    std::mt19937 random_;
    SimClock::time_point next_;
    double owed_ = 0;
    unsigned long sent_ = 0;
};

} // namespace korvanel
