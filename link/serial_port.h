// The serial port a Clear run talks through: opened and configured when a
// run starts, queried, read and written once per tick, closed when the run
// stops. One header; serial_port_posix.cpp or serial_port_win32.cpp
// implements it, chosen by CMake.
//
// Every call is made from one thread (the UI thread, or the command line's
// main thread); none blocks for longer than a short, fixed bound.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "run_port.h"

namespace korvanel {

// n for a plain COMn (any case, 1 to 5 digits, n from 1 up), else 0: the
// one reading of Windows port names both platforms map ("COM1:" and
// "\\.\COM3" are not plain).
unsigned ComPortNumber(const std::string& name);

// Added to the system's words when a port name has no device.
extern const char* const TEXT_LIST_PORTS_HINT; // "--list-ports shows the serial ports present"

class SerialPort : public RunPort {
public:
    SerialPort();
    ~SerialPort() override; // closes a port still open
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `portName` exclusively and close-on-exec, and applies the line
    // settings (9600 8N1 unless set otherwise), binary, no parity check,
    // and the RS-485 mode asked for; on Linux it also asks the driver for
    // low latency. Every other setting stays as the driver reports it. On a
    // settings failure (a driver without the RS-485 mode asked for among
    // them) the port is left open, as the caller's next press closes it.
    PortOpenResult open(const PortAddress& address) override;
    bool isOpen() const override;
    // Gives the port back as it was found: where the platform allows, the
    // line settings, RS-485 mode and driver flags read at open are restored
    // and the exclusive claim is dropped. Does nothing when the port is closed.
    void close() override;

    PortStatus status() const override { return device_.status; }
    // A serial line holds nothing to drop and learns nothing worth a note.
    void beginRun() override {}
    // What the driver changed of the RS-485 mode asked, and a USB adapter
    // that holds replies back.
    std::vector<std::string> takeNotes() override { return std::exchange(notes_, {}); }
    SerialDriverState driverState() const override { return driver_; }
    bool waitForInput(std::chrono::milliseconds timeout) override;

    // TickPort; after a loss they gather and send nothing.
    std::uint32_t queuedByteCount() override;
    void prepareWriteEvent() override;
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept) override;
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override;

    // The device path or name `portName` opens on this platform
    // (e.g. COM3 -> /dev/ttyS2 on Linux, COM10 -> \\.\COM10 on Windows).
    static std::string DevicePathFor(const std::string& portName);
    // The serial ports present, one name each, in a stable order. On POSIX
    // they are the device nodes under `deviceRoot` (a test gives a tree of
    // its own); Windows lists its COM devices and ignores it.
    static std::vector<std::string> ListPorts(const std::string& deviceRoot = "/dev");

private:
    // What both platforms keep about the device the port talks to.
    struct Device {
        std::string path;
        PortStatus status;

        bool lost() const { return status.reason == PortStatus::Reason::Lost; }
        // Why the last frame did not go out whole, unless the port is lost.
        void writeCutShort(const std::string& why);

        // "Opening '/dev/ttyS0': No such file or directory".
        std::string describe(const std::string& what, const std::string& reason) const;
        // Records why open() failed.
        void openFailed(const std::string& what, const std::string& reason);
        // Forgets the last open and takes the device path of `portName`;
        // false, with the status set, when the name gives none.
        bool begin(const std::string& portName);
        // Records the loss once; the first reason is the one worth reporting.
        void markLost(const std::string& what, const std::string& reason);
    };
    struct Impl;

    // Declared before impl_, which refers to it.
    Device device_;
    SerialDriverState driver_;
    std::vector<std::string> notes_;
    std::unique_ptr<Impl> impl_;
};

} // namespace korvanel
