// The Linux driver calls behind a serial port's RS-485 mode and low
// latency, and what the port makes of their answers. Kept behind one seam
// so a test answers them as a driver would: a pseudo-terminal has neither.
#pragma once

#include <linux/serial.h>

#include <functional>
#include <string>
#include <vector>

#include "rs485.h"

namespace korvanel {

// Each call answers 0 or the errno.
class SerialDriverCalls {
public:
    virtual ~SerialDriverCalls() = default;
    virtual int getRs485(serial_rs485& state) = 0;  // TIOCGRS485
    virtual int setRs485(serial_rs485& state) = 0;  // TIOCSRS485
    virtual int getSerial(serial_struct& info) = 0; // TIOCGSERIAL
    virtual int setSerial(serial_struct& info) = 0; // TIOCSSERIAL
    // A USB adapter's latency timer in milliseconds and its sysfs file
    // in `where`; -1 for a device without one.
    virtual int latencyTimerMs(std::string& where) = 0;
};

// The calls on the open descriptor `fd` of the device at `path`.
class FdDriverCalls final : public SerialDriverCalls {
public:
    FdDriverCalls(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int getRs485(serial_rs485& state) override;
    int setRs485(serial_rs485& state) override;
    int getSerial(serial_struct& info) override;
    int setSerial(serial_struct& info) override;
    int latencyTimerMs(std::string& where) override;

private:
    int fd_;
    std::string path_;
};

struct Rs485Result {
    // Why the port cannot run as asked; empty when the mode is in force.
    std::string error;
    Rs485Settings inForce;
    // What the driver changed of the request (polarity, delays clamped).
    std::vector<std::string> notes;
};

// Turns on the mode `asked` on the device at `path` and reads back what the
// driver kept. `found` gets the state read before anything changes, to be
// put back at the end.
Rs485Result TakeRs485(SerialDriverCalls& calls, const std::string& path, const Rs485Settings& asked,
                      const std::function<void(const serial_rs485&)>& found);

struct LowLatencyResult {
    LowLatency state = LowLatency::None;
    // Where it did not take on an adapter that holds replies back: how
    // to shorten the hold.
    std::string note;
};

// Sets the driver's low-latency flag where it is off; never a failure.
// `found` gets the flags read before they change.
LowLatencyResult TakeLowLatency(SerialDriverCalls& calls, const std::string& path,
                                const std::function<void(const serial_struct&)>& found);

} // namespace korvanel
