// A port a run opens when it starts and closes when it stops: the tick's
// operations plus what the dialog and korvanel-clear need around them.
// SerialPort and NetPort implement it (MakePort picks one for an address);
// tests implement it with a scripted peer.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "capture_file.h"
#include "line_settings.h"
#include "port_name.h"
#include "rs485.h"
#include "tick_port.h"

namespace korvanel {

// What the port's last operation left it in, and the words for it.
struct PortStatus {
    enum class Reason {
        None,
        // open() failed or the settings did not take; the text is the
        // operating system's words, for the command line and logs (the
        // dialog shows only its own texts).
        OpenFailed,
        // A network open() failed; the dialog adds the text to its box
        // ("Connecting to 127.0.0.1:502: Connection refused").
        ConnectFailed,
        // The last writeFrame() did not put its whole frame on the line
        // ("not sent: 3 of 8 bytes went out within the frame's line time");
        // a frame cut short counts as not sent.
        WriteCutShort,
        // The device or connection is gone (an adapter unplugged, a line hung
        // up): "Reading '/dev/ttyUSB0': Input/output error". From then on the
        // tick operations gather and send nothing; the next open() clears it.
        Lost,
    };
    Reason reason = Reason::None;
    std::string text;
};

class RunPort : public TickPort {
public:
    // Opens and configures `address` with the line settings last given.
    // After SettingFailed or MaskFailed the port stays open: the next press
    // of the button closes it.
    virtual PortOpenResult open(const PortAddress& address) = 0;
    virtual bool isOpen() const = 0;
    // Does nothing when the port is closed.
    virtual void close() = 0;

    // What the next open() applies; 9600 8N1 unless a caller asks otherwise.
    // A converter may keep other settings than asked: after open() these
    // are the ones in force.
    void setLineSettings(const LineSettings& line) { line_ = line; }
    const LineSettings& lineSettings() const { return line_; }
    // What the next open() of a serial line asks of its driver's RS-485
    // mode; off unless a caller asks. A network port has none to ask.
    void setRs485(const Rs485Settings& rs485) { rs485_ = rs485; }
    // What a serial driver settled at the last open() beyond the line
    // settings; `serial` false for a port without one.
    virtual SerialDriverState driverState() const { return {}; }

    virtual PortStatus status() const = 0;
    bool lost() const { return status().reason == PortStatus::Reason::Lost; }

    // Called as each run of a session starts, after the port is open: a
    // converter drops what it still holds for the line, a gateway's answers
    // to an earlier run's requests stop counting.
    virtual void beginRun() = 0;
    // What the port learned that the user should hear but that is no
    // failure (a converter that keeps other line settings than asked, a
    // gateway answering under another unit id, input dropped from a
    // flood); each note is handed out once.
    virtual std::vector<std::string> takeNotes() = 0;

    // Returns true once input is queued or the port is lost (what arrived
    // before a loss is still to be read, and the loss is the caller's to
    // see), false when `timeout` passed without either or the port is
    // closed. A caller can so judge a reply the moment it is complete.
    virtual bool waitForInput(std::chrono::milliseconds timeout) = 0;

    // What a capture's packet of the last frame sent, or of the bytes last
    // read, should say that the bytes do not (a gateway's MBAP transaction
    // id); empty for most ports.
    virtual std::string captureNote(CaptureDirection) const { return {}; }

protected:
    LineSettings line_;
    Rs485Settings rs485_;
};

// waitForInput by asking the queue every millisecond, for a port that
// cannot wait on its device.
bool PollForInput(RunPort& port, std::chrono::milliseconds timeout);

} // namespace korvanel
