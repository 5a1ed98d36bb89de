// --verify --settle SECONDS: the reads after a write, judged as they come.
// Some inverters store a register slowly (a read right after the write
// still shows the old value) or put it back a few seconds later; one read
// proves neither. No I/O: the session feeds each value read and the time
// since the write, and prints the line once the watch is over.
#pragma once

#include <cstdint>
#include <string>

namespace korvanel {

class SettleWatch {
public:
    explicit SettleWatch(double settleSeconds) : settleSeconds_(settleSeconds) {}

    // One value of register 0x004A, read `sinceWriteS` seconds after the
    // write. True while the watch wants another read (a period later).
    bool read(std::uint16_t value, double sinceWriteS);

    bool over() const { return over_; }
    bool verified() const { return verified_; }
    // "verified: register 0x004A = 0 after 1.4 s, held for 10 s",
    // "not verified: register 0x004A = 0 after 0.2 s, back to 4660 (0x1234) after 1.0 s",
    // "not verified: register 0x004A still 4660 (0x1234) after 10 s".
    const std::string& line() const { return line_; }

private:
    void end(bool verified, const std::string& line);

    double settleSeconds_;
    bool sawZero_ = false;
    double zeroAtS_ = 0;
    bool over_ = false;
    bool verified_ = false;
    std::string line_;
};

} // namespace korvanel
