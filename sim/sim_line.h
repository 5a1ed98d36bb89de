// The simulator's line, in both directions, apart from what an inverter
// says: the request gathered until the line falls silent, what goes out at
// the line's pace, and the noise a bad cable adds.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <random>

#include "inverter.h"

namespace korvanel {

using SimClock = std::chrono::steady_clock;

// Larger than any Modbus RTU frame (256 bytes): a master that never pauses
// still gets its junk logged and dropped.
constexpr std::size_t MAX_FRAME = 512;

// Noise goes out in small bursts, often enough that every tick interval of
// the shortest period (10 ms) sees some.
constexpr std::chrono::milliseconds NOISE_BURST_INTERVAL{5};

// The simulator's side of the line: what it sends leaves in order, one byte
// after another, at the line's pace. At 9600 baud 8N1 a byte is 10 bits
// (start, 8 data, stop): 10 / 9600 s = 1.04 ms. An echo and a reply share
// the line, so a reply queued behind an echo follows it, as on a two-wire
// bus where the inverter can only answer once the request is off the wire.
class LineOut {
public:
    LineOut(int fd, unsigned bitsPerSecond)
        : fd_(fd),
          byteTime_(bitsPerSecond
                        ? std::chrono::nanoseconds(BITS_PER_BYTE * 1000000000LL / bitsPerSecond)
                        : std::chrono::nanoseconds(0))
    {}

    void queue(const FrameBytes& bytes, SimClock::time_point now)
    {
        auto at = std::max(now, freeAt_);
        for (const std::uint8_t b : bytes) {
            at += byteTime_;
            queued_.push_back({at, b});
        }
        freeAt_ = at;
    }
    SimClock::time_point nextDue() const
    {
        return queued_.empty() ? SimClock::time_point::max() : queued_.front().due;
    }
    // Writes every byte whose time has come; false when the write failed.
    bool send(SimClock::time_point now)
    {
        FrameBytes out;
        while (!queued_.empty() && queued_.front().due <= now) {
            out.push_back(queued_.front().byte);
            queued_.pop_front();
        }
        return out.empty() ||
               ::write(fd_, out.data(), out.size()) == static_cast<ssize_t>(out.size());
    }

private:
    static constexpr long long BITS_PER_BYTE = 10;
    struct Byte {
        SimClock::time_point due;
        std::uint8_t byte;
    };

    int fd_;
    std::chrono::nanoseconds byteTime_;
    std::deque<Byte> queued_;
    SimClock::time_point freeAt_{};
};

// The bytes of the master's request, gathered until the line falls silent.
class FrameAssembler {
public:
    explicit FrameAssembler(std::chrono::microseconds gap) : gap_(gap) {}

    bool empty() const { return frame_.empty(); }
    void add(const std::uint8_t* bytes, std::size_t count, SimClock::time_point now)
    {
        frame_.insert(frame_.end(), bytes, bytes + count);
        lastByte_ = now;
    }
    // When the frame gathered so far ends unless more bytes come.
    SimClock::time_point endsAt() const
    {
        return frame_.empty() ? SimClock::time_point::max() : lastByte_ + gap_;
    }
    bool complete(SimClock::time_point now) const
    {
        return !frame_.empty() && (now - lastByte_ >= gap_ || frame_.size() >= MAX_FRAME);
    }
    FrameBytes take()
    {
        FrameBytes frame;
        frame.swap(frame_);
        return frame;
    }

private:
    std::chrono::microseconds gap_;
    FrameBytes frame_;
    SimClock::time_point lastByte_;
};

// Junk bytes onto the line at a steady rate, in small bursts.
class NoiseSource {
public:
    NoiseSource(unsigned rate, std::uint32_t seed)
        : rate_(rate), random_(seed), next_(SimClock::now())
    {}

    SimClock::time_point nextDue() const { return rate_ > 0 ? next_ : SimClock::time_point::max(); }
    unsigned long sent() const { return sent_; }
    void emit(int fd)
    {
        if (rate_ == 0 || SimClock::now() < next_)
            return;
        owed_ += rate_ * std::chrono::duration<double>(NOISE_BURST_INTERVAL).count();
        FrameBytes burst(static_cast<std::size_t>(owed_));
        owed_ -= static_cast<double>(burst.size());
        for (std::uint8_t& b : burst)
            b = static_cast<std::uint8_t>(random_() & 0xFF);
        // Not logged byte by byte: a second of noise would drown the
        // frames; the total is logged at the end.
        const ssize_t written = burst.empty() ? 0 : ::write(fd, burst.data(), burst.size());
        if (written > 0)
            sent_ += static_cast<unsigned long>(written);
        next_ += NOISE_BURST_INTERVAL;
        if (next_ < SimClock::now())
            next_ = SimClock::now() + NOISE_BURST_INTERVAL;
    }

private:
    unsigned rate_;
    std::mt19937 random_;
    SimClock::time_point next_;
    double owed_ = 0;
    unsigned long sent_ = 0;
};

} // namespace korvanel
