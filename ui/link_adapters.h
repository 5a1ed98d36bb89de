// The real serial port and poll thread behind the dialog's interfaces. Only
// the programs include this; the dialog's logic and its unit tests do not
// need the link library.
#pragma once

#include <utility>

#include "dialog_port.h"
#include "poll_thread.h"
#include "serial_port.h"

namespace korvanel {

class SerialDialogPort : public DialogPort {
public:
    PortOpenResult open(const std::string& portName) override { return port_.open(portName); }
    bool isOpen() const override { return port_.isOpen(); }
    void close() override { port_.close(); }
    std::string openFailureText(PortOpenResult result) const override
    {
        return PortOpenFailureText(result);
    }
    std::uint32_t queuedByteCount() override { return port_.queuedByteCount(); }
    void prepareWriteEvent() override { port_.prepareWriteEvent(); }
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept) override
    {
        return port_.readQueued(buffer, count, bytesKept);
    }
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override
    {
        port_.writeFrame(bytes, count);
    }

private:
    SerialPort port_;
};

class PollThreadPacer : public TickPacer {
public:
    bool start(ClearRun& run, std::function<void()> postTick) override
    {
        return thread_.start(run, std::move(postTick));
    }
    // Tests end the thread before the objects it posts to go away; the
    // program itself leaves it running until exit.
    void stop() { thread_.stop(); }

private:
    PollThread thread_;
};

} // namespace korvanel
