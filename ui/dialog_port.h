// What the dialog needs from the serial port and from the thread that paces
// runs. korvanel::SerialPort and korvanel::PollThread satisfy them through
// the adapters in link_adapters.h; tests supply fakes, so every press and
// every failure can be driven without a device.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "clear_run.h"
#include "serial_port.h"

namespace korvanel {

class DialogPort {
public:
    virtual ~DialogPort() = default;

    // Opens and configures `portName`. After SettingFailed or MaskFailed the
    // port stays open: the next press of the button closes it.
    virtual PortOpenResult open(const std::string& portName) = 0;
    virtual bool isOpen() const = 0;
    // Does nothing when the port is closed.
    virtual void close() = 0;
    // The message-box text for a failed open ("COM Open Fail", ...).
    virtual std::string openFailureText(PortOpenResult result) const = 0;

    // Per tick, as ClearTickOps describes them.
    virtual std::uint32_t queuedByteCount() = 0;
    virtual void prepareWriteEvent() = 0;
    virtual bool readQueued(std::uint8_t* buffer, std::uint32_t count,
                            std::uint32_t& bytesKept) = 0;
    virtual void writeFrame(const std::uint8_t* bytes, std::uint32_t count) = 0;
};

class TickPacer {
public:
    virtual ~TickPacer() = default;

    // Starts pacing `run`: `postTick` is called on the pacer's own thread
    // once a period while the run is not Idle. False when the thread cannot
    // be created. Never stopped before the process ends.
    virtual bool start(ClearRun& run, std::function<void()> postTick) = 0;
};

} // namespace korvanel
