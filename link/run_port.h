// A port a run opens when it starts and closes when it stops: the tick's
// operations plus what the dialog and korvanel-clear need around them.
// SerialPort implements it for both platforms' serial lines; tests implement
// it with a scripted peer.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "line_settings.h"
#include "tick_port.h"

namespace korvanel {

class RunPort : public TickPort {
public:
    // Opens and configures `portName` with the line settings last given.
    // After SettingFailed or MaskFailed the port stays open: the next press
    // of the button closes it.
    virtual PortOpenResult open(const std::string& portName) = 0;
    virtual bool isOpen() const = 0;
    // Does nothing when the port is closed.
    virtual void close() = 0;

    // What the next open() applies; 9600 8N1 unless a caller asks otherwise.
    void setLineSettings(const LineSettings& line) { line_ = line; }
    const LineSettings& lineSettings() const { return line_; }

    // True once an operation found the device or connection gone (an
    // adapter unplugged, a line hung up). From then on the tick operations
    // gather and send nothing. Cleared by the next open().
    virtual bool lost() const { return false; }
    // The operating system's words for the loss, e.g.
    // "Reading '/dev/ttyUSB0': Input/output error"; empty while not lost.
    virtual std::string lostReason() const { return {}; }
    // The operating system's words for the last failure of open(), for the
    // command line and logs; the dialog shows only its own texts.
    virtual std::string lastSystemError() const { return {}; }
    // Why the last writeFrame() did not put its whole frame on the line,
    // e.g. "not sent: 3 of 8 bytes went out within the frame's line time";
    // empty when it did. A frame cut short counts as not sent.
    virtual std::string lastWriteProblem() const { return {}; }

    // What the dialog adds to its "COM Open Fail" box after the text. A
    // serial port adds nothing: the box says what users of the dialog know.
    // A network port says why it could not connect.
    virtual std::string dialogOpenFailureReason() const { return {}; }

    // Called as each run of a session starts, after the port is open: a
    // converter drops what it still holds for the line, a gateway's answers
    // to an earlier run's requests stop counting.
    virtual void beginRun() {}
    // True when the port can never hand back what it sends (a Modbus TCP
    // gateway answers with its own frames), so no run has to find out.
    virtual bool neverEchoes() const { return false; }
    // What the port learned that the user should hear but that is no
    // failure (a converter that keeps other line settings than asked, a
    // gateway answering under another unit id, input dropped from a
    // flood); each note is handed out once.
    virtual std::vector<std::string> takeNotes() { return {}; }

    // Returns once input is queued (true) or `timeout` has passed (false),
    // so a caller can judge a reply the moment it is complete. This default
    // asks the queue every millisecond; ports that can wait on the device
    // do so.
    virtual bool waitForInput(std::chrono::milliseconds timeout);

protected:
    LineSettings line_;
};

} // namespace korvanel
