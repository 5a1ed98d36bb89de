// The port operations a tick performs, in the order it performs them.
// Declared here because the tick procedure is what needs them; each
// platform's SerialPort implements them, and so do the test fakes and the
// command line's tracing wrapper.
#pragma once

#include <cstdint>

namespace korvanel {

class TickPort {
public:
    virtual ~TickPort() = default;

    // Bytes waiting in the input queue; clears the port's error state.
    // 0 when the query fails or the port is closed.
    virtual std::uint32_t queuedByteCount() = 0;
    // Readies the completion of the write that may end this tick.
    virtual void prepareWriteEvent() = 0;
    // Takes `count` bytes out of the input queue; the first RX_SCRATCH_SIZE of
    // them go into `buffer` (which holds that many) and their number into
    // `bytesKept`. True only when the read completed at once: the tick
    // gathers nothing otherwise.
    virtual bool readQueued(std::uint8_t* buffer, std::uint32_t count,
                            std::uint32_t& bytesKept) = 0;
    // Starts the write; the tick neither waits for it nor checks it.
    virtual void writeFrame(const std::uint8_t* bytes, std::uint32_t count) = 0;
    // False when the last writeFrame() is known not to have put its whole
    // frame on the line: no echo of it comes, so it is no request sent. A
    // port that does not wait for its writes cannot tell and says true.
    virtual bool lastWriteWhole() const { return true; }
};

// How opening a port ended.
enum class PortOpenResult {
    Ok,
    OpenFailed,    // the port is closed afterwards
    SettingFailed, // the port stays open
    MaskFailed,    // the port stays open
};

} // namespace korvanel
