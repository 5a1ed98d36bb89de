// The capture's hook on a port: every frame the session sends is written
// to the capture at once, and the bytes it receives are cut into the
// frames the field rule reads (a copy of a request, a read's reply, a
// write's reply, an exception: each a frame of its function's shape with
// a valid check), the bytes between them standing as packets of their own.
// It stands in front of any port kind, so what it sees is what the
// session sees: for a gateway, the RTU frames the MBAP messages stand for.
#pragma once

#include <vector>

#include "capture_file.h"
#include "run_port.h"

namespace korvanel {

// A stretch of received bytes: one frame, or bytes that made none.
struct CapturePiece {
    using WallClock = CaptureFile::WallClock;
    std::vector<std::uint8_t> bytes;
    bool framed = false;
    // When its first and its last byte arrived, and in how many reads.
    WallClock::time_point firstAt;
    WallClock::time_point lastAt;
    unsigned reads = 0;
};

// Cuts received bytes into pieces as they arrive. A stretch that may yet
// become a frame (its first bytes have a frame's shape) is held until
// more bytes decide it or flush() is called (as each run starts: a run's
// window is what the field rule reads). A held frame is written when it is
// whole, stamped with the arrival of its last byte, so it may follow a
// request sent while it was arriving.
class FrameCutter {
public:
    using WallClock = CaptureFile::WallClock;

    std::vector<CapturePiece> add(const std::uint8_t* bytes, std::size_t count,
                                  WallClock::time_point at);
    // Everything held, cut as well as it can be now.
    std::vector<CapturePiece> flush() { return cut(true); }

private:
    std::vector<CapturePiece> cut(bool final);
    CapturePiece piece(std::size_t from, std::size_t to, bool framed) const;

    std::vector<std::uint8_t> held_;
    // (end offset in held_, time) of each read that brought bytes.
    std::vector<std::pair<std::size_t, WallClock::time_point>> arrivals_;
};

class CapturePort final : public RunPort {
public:
    // `lineOfOurs`: the line settings are the port's to set (serial,
    // rfc2217://), so each packet says which were in force.
    CapturePort(RunPort& port, CaptureFile& file, bool lineOfOurs)
        : port_(port), file_(file), lineOfOurs_(lineOfOurs)
    {}
    ~CapturePort() override { writeHeld(); }

    PortOpenResult open(const PortAddress& address) override;
    bool isOpen() const override { return port_.isOpen(); }
    void close() override
    {
        writeHeld();
        port_.close();
    }
    PortStatus status() const override { return port_.status(); }
    SerialDriverState driverState() const override { return port_.driverState(); }
    void beginRun() override
    {
        writeHeld();
        port_.beginRun();
    }
    std::vector<std::string> takeNotes() override { return port_.takeNotes(); }
    bool waitForInput(std::chrono::milliseconds timeout) override
    {
        return port_.waitForInput(timeout);
    }
    std::string captureNote(CaptureDirection direction) const override
    {
        return port_.captureNote(direction);
    }

    std::uint32_t queuedByteCount() override { return port_.queuedByteCount(); }
    void prepareWriteEvent() override { port_.prepareWriteEvent(); }
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept) override;
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override;
    bool lastWriteWhole() const override { return port_.lastWriteWhole(); }

private:
    void writeHeld() { write(cutter_.flush()); }
    void write(const std::vector<CapturePiece>& pieces);
    std::string comment(CaptureDirection direction, std::string more) const;

    RunPort& port_;
    CaptureFile& file_;
    const bool lineOfOurs_;
    FrameCutter cutter_;
    // Bytes that made no frame are put down to the unit last asked.
    std::uint8_t lastUnit_ = 0;
};

} // namespace korvanel
