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
#include <vector>

namespace korvanel {

enum class PortOpenResult {
    Ok,
    OpenFailed,     // the port is closed afterwards
    SettingFailed,  // the port stays open
    MaskFailed,     // the port stays open
};

// The message-box text for a failed open ("COM Open Fail", ...); empty for Ok.
const char* PortOpenFailureText(PortOpenResult result);

class SerialPort {
public:
    SerialPort();
    ~SerialPort();  // closes a port still open
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `portName` exclusively and close-on-exec, and applies 9600 baud,
    // 8 data bits, no parity, one stop bit, binary, no parity check; every
    // other setting stays as the driver reports it. On a settings failure
    // the port is left open, as the caller's next press closes it.
    PortOpenResult open(const std::string& portName);
    bool isOpen() const;
    // Gives the port back as it was found: where the platform allows, the
    // line settings read at open are restored and the exclusive claim is
    // dropped. Does nothing when the port is closed.
    void close();

    // True once a queue query, read or write found the device gone (an
    // adapter unplugged, the line hung up). From then on the tick
    // operations gather and send nothing. Cleared by the next open().
    bool lost() const;
    // The operating system's words for the loss, e.g.
    // "Reading '/dev/ttyUSB0': Input/output error"; empty while not lost.
    const std::string& lostReason() const;

    // Bytes waiting in the input queue; clears the port's error state.
    // 0 when the query fails or the port is closed.
    std::uint32_t queuedByteCount();
    // Readies the completion of the next write.
    void prepareWriteEvent();
    // Takes `count` bytes out of the input queue; the first 256 of them go
    // into `buffer` (which holds 256) and their number into `bytesKept`.
    // True only when the read completed, so the bytes may be gathered.
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept);
    // Starts writing `count` bytes; neither waited for nor checked.
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count);

    // The operating system's words for the last failure of open(), for the
    // command line and logs; the dialog shows only its own texts.
    const std::string& lastSystemError() const;

    // The device path or name `portName` opens on this platform
    // (e.g. COM3 -> /dev/ttyS2 on Linux, COM10 -> \\.\COM10 on Windows).
    static std::string DevicePathFor(const std::string& portName);
    // The serial ports present, one name each, in a stable order. On POSIX
    // they are the device nodes under `deviceRoot` (a test gives a tree of
    // its own); Windows lists its COM devices and ignores it.
    static std::vector<std::string> ListPorts(const std::string& deviceRoot = "/dev");

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace korvanel
