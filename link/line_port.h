// The port every front end opens: its name picks the transport on each
// open(). tcp://, rfc2217:// and modbus-tcp:// names reach a network
// converter or gateway; every other name is a serial port.
#pragma once

#include <functional>

#include "net_port.h"
#include "serial_port.h"

namespace korvanel {

class LinePort : public RunPort {
public:
    LinePort() = default;
    ~LinePort() override { close(); }
    LinePort(const LinePort&) = delete;
    LinePort& operator=(const LinePort&) = delete;

    // See NetPort::setWaitHook; a serial open never waits.
    void setWaitHook(std::function<bool()> hook) { net_.setWaitHook(std::move(hook)); }

    PortOpenResult open(const std::string& portName) override;
    bool isOpen() const override { return active_->isOpen(); }
    void close() override { active_->close(); }
    void beginRun() override { active_->beginRun(); }
    bool neverEchoes() const override { return active_->neverEchoes(); }
    std::vector<std::string> takeNotes() override { return active_->takeNotes(); }

    bool lost() const override { return active_->lost(); }
    std::string lostReason() const override { return active_->lostReason(); }
    std::string lastSystemError() const override { return active_->lastSystemError(); }
    std::string lastWriteProblem() const override { return active_->lastWriteProblem(); }
    std::string dialogOpenFailureReason() const override
    {
        return active_->dialogOpenFailureReason();
    }
    bool waitForInput(std::chrono::milliseconds timeout) override
    {
        return active_->waitForInput(timeout);
    }

    std::uint32_t queuedByteCount() override { return active_->queuedByteCount(); }
    void prepareWriteEvent() override { active_->prepareWriteEvent(); }
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept) override
    {
        return active_->readQueued(buffer, count, bytesKept);
    }
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override
    {
        active_->writeFrame(bytes, count);
    }

private:
    SerialPort serial_;
    NetPort net_;
    RunPort* active_ = &serial_;
};

} // namespace korvanel
