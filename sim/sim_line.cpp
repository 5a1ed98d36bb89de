#include "sim_line.h"

#include <unistd.h>

#include <algorithm>

namespace korvanel {

namespace {

// `framing`'s parity and stop bits at `baud`.
LineSettings At(std::uint32_t baud, const LineSettings& framing)
{
    LineSettings line = framing;
    line.baud = baud;
    return line;
}

} // namespace

LineOut::LineOut(int fd, unsigned bitsPerSecond) : fd_(fd), bitsPerSecond_(bitsPerSecond)
{
    frameAs(LineSettings{});
}

void LineOut::frameAs(const LineSettings& framing)
{
    byteTime_ =
        std::chrono::nanoseconds(bitsPerSecond_ ? CharacterTimeNs(At(bitsPerSecond_, framing)) : 0);
}

void LineOut::queue(const FrameBytes& bytes, SimClock::time_point now)
{
    auto at = std::max(now, freeAt_);
    for (const std::uint8_t b : bytes) {
        at += byteTime_;
        queued_.push_back({at, b});
    }
    freeAt_ = at;
}

SimClock::time_point LineOut::nextDue() const
{
    return queued_.empty() ? SimClock::time_point::max() : queued_.front().due;
}

bool LineOut::send(SimClock::time_point now)
{
    FrameBytes out;
    while (!queued_.empty() && queued_.front().due <= now) {
        out.push_back(queued_.front().byte);
        queued_.pop_front();
    }
    return out.empty() || ::write(fd_, out.data(), out.size()) == static_cast<ssize_t>(out.size());
}

FrameAssembler::FrameAssembler(std::uint32_t baud) : baud_(baud)
{
    frameAs(LineSettings{});
}

void FrameAssembler::frameAs(const LineSettings& framing)
{
    gap_ = std::chrono::microseconds(FrameSilenceUs(At(baud_, framing)));
}

void FrameAssembler::add(const std::uint8_t* bytes, std::size_t count, SimClock::time_point now)
{
    frame_.insert(frame_.end(), bytes, bytes + count);
    lastByte_ = now;
}

SimClock::time_point FrameAssembler::endsAt() const
{
    return frame_.empty() ? SimClock::time_point::max() : lastByte_ + gap_;
}

bool FrameAssembler::complete(SimClock::time_point now) const
{
    return !frame_.empty() && (now - lastByte_ >= gap_ || frame_.size() >= MAX_FRAME);
}

FrameBytes FrameAssembler::take()
{
    FrameBytes frame;
    frame.swap(frame_);
    return frame;
}

NoiseSource::NoiseSource(unsigned rate, std::uint32_t seed)
    : rate_(rate), random_(seed), next_(SimClock::now())
{}

SimClock::time_point NoiseSource::nextDue() const
{
    return rate_ > 0 ? next_ : SimClock::time_point::max();
}

FrameBytes NoiseSource::emit(int fd)
{
    if (rate_ == 0 || SimClock::now() < next_)
        return {};
    owed_ += rate_ * std::chrono::duration<double>(NOISE_BURST_INTERVAL).count();
    FrameBytes burst(static_cast<std::size_t>(owed_));
    owed_ -= static_cast<double>(burst.size());
    for (std::uint8_t& b : burst)
        b = static_cast<std::uint8_t>(random_() & 0xFF);
    // Not logged byte by byte: a second of noise would drown the frames;
    // the total is logged at the end.
    const ssize_t written = burst.empty() ? 0 : ::write(fd, burst.data(), burst.size());
    if (written > 0)
        sent_ += static_cast<unsigned long>(written);
    next_ += NOISE_BURST_INTERVAL;
    if (next_ < SimClock::now())
        next_ = SimClock::now() + NOISE_BURST_INTERVAL;
    burst.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return burst;
}

} // namespace korvanel
