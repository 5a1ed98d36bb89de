// The serial port on the Win32 communications API, with overlapped I/O so
// that no call can stall the UI thread for longer than a short bound:
//   open   CreateFileA (exclusive, overlapped), SetupComm, GetCommState,
//          SetCommState (the line settings, binary), SetCommMask
//   tick   ClearCommError (cbInQue), ReadFile and WriteFile, overlapped
//   wait   WaitCommEvent (EV_RXCHAR), overlapped, bounded
//   close  CancelIoEx and GetOverlappedResult for what is still pending,
//          SetCommState (the settings found at open), CloseHandle
// A device that goes away (a USB adapter pulled) makes these fail with one
// of the errors DeviceGone() lists, whichever the driver chose.
#include "serial_port.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "line_dcb.h"
#include "open_port_record_win32.h"
#include "protocol.h"
#include "serial_port_device_win32.h"
#include "serial_port_win32_calls.h"

namespace korvanel {

namespace {

// The caller's buffer is the tick's scratch of RX_SCRATCH_SIZE bytes.
constexpr std::uint32_t READ_BUFFER_SIZE = RX_SCRATCH_SIZE;
// Driver queue sizes recommended on open: one request and its reply are
// 8 bytes each, so 256 leaves ample room for a chattering line.
constexpr DWORD DRIVER_QUEUE_SIZE = 256;
// Overlapped, so that no read or write can hold the UI thread: each is
// started, then waited for with a bound of our own.
constexpr DWORD OPEN_FLAGS = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED;
// waitForInput waits for a received character; the output queue running
// empty after a write only wakes it to look at the input queue again.
constexpr DWORD EVENT_MASK = EV_RXCHAR | EV_TXEMPTY;
// The bytes of a read are already queued when it starts, yet Wine and some
// USB drivers still answer ERROR_IO_PENDING. 256 bytes are copied out of
// the queue in well under a millisecond; 50 ms bounds the stall of the UI
// thread while leaving a slow driver plenty of time.
constexpr DWORD READ_WAIT_MS = 50;
// A write of 8 bytes at 9600 baud (10 bits a character) leaves the line in
// 8.3 ms; a write still pending this long after its own line time (11
// bytes at 1200 8E2, 12 bits each: 110 ms) is held by flow control.
constexpr DWORD WRITE_WAIT_MS = 50;

// Owns an event or file handle so that no failure path of open() leaks it.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE release()
    {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
    void reset(HANDLE h = INVALID_HANDLE_VALUE)
    {
        if (valid())
            ::CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// "Opening '\\.\COM5': The system cannot find the file specified."
std::string SystemMessage(DWORD err)
{
    char text[512] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               err, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
        text[--n] = '\0';
    return n > 0 ? std::string(text) : "system error " + std::to_string(err);
}

// The errors drivers give for a port whose device was removed: usbser and
// most vendor drivers ERROR_BAD_COMMAND or ERROR_ACCESS_DENIED, others
// ERROR_DEVICE_REMOVED or ERROR_GEN_FAILURE; Wine reports a hung-up line
// (EIO) as ERROR_NOT_READY. ERROR_OPERATION_ABORTED is not among them: a
// driver set to abort on error (fAbortOnError, left as found) ends every
// request with it after a passing framing or parity error, until the error
// is cleared.
bool DeviceGone(DWORD err)
{
    switch (err) {
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_GEN_FAILURE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED: return true;
    default: return false;
    }
}

HANDLE MakeManualResetEvent()
{
    return ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

} // namespace

SerialCommCalls& TheSerialCommCalls()
{
    static SerialCommCalls calls;
    return calls;
}

struct SerialPort::Impl {
    explicit Impl(Device& d) : device(d) {}

    Device& device;
    UniqueHandle comm;
    // One event per record, made at open and released at close, rather than
    // a new one on every tick that is never released.
    UniqueHandle readEvent;
    UniqueHandle writeEvent;
    // waitForInput's event, made at its first wait on an open port.
    UniqueHandle waitEvent;
    OVERLAPPED readOv{};
    OVERLAPPED writeOv{};
    OVERLAPPED waitOv{};
    DWORD waitMask = 0;
    // A read or write still owned by the driver: its record and buffer may
    // not be reused until it has come back.
    bool readInFlight = false;
    bool writeInFlight = false;
    // WRITE_WAIT_MS plus the line time of the write in flight.
    DWORD writeWaitMs = WRITE_WAIT_MS;
    // Reads land here, never in the caller's buffer, so a read given up on
    // can finish late without touching bytes the caller gathered.
    std::uint8_t readBuffer[READ_BUFFER_SIZE] = {};
    std::uint8_t writeBuffer[READ_BUFFER_SIZE] = {};
    // The line state found at open, put back at close (timeouts never change).
    DCB found{};
    bool foundValid = false;

    // True when the port can still be used for a tick.
    bool usable() const { return comm.valid() && !device.lost(); }
    // Records the loss when `err` says the device is gone. True when the
    // request may simply be made again: a driver that aborts on error has
    // ended it and refuses more until the error is cleared, which this does.
    bool noteFailure(const char* what, DWORD err)
    {
        if (err == ERROR_OPERATION_ABORTED) {
            DWORD errors = 0;
            if (::ClearCommError(comm.get(), &errors, nullptr))
                return true;
            err = ::GetLastError();
        }
        if (DeviceGone(err))
            device.markLost(what, SystemMessage(err));
        return false;
    }

    // Cancels the request on `ov`, if any, and waits until the driver has
    // given it back: only then may its record, buffer and event be reused
    // or released. A request that completed before the cancel took hold
    // keeps its outcome: true, with `got` bytes transferred.
    bool cancelAndWait(OVERLAPPED& ov, bool& inFlight, DWORD& got)
    {
        got = 0;
        if (!inFlight)
            return false;
        ::CancelIoEx(comm.get(), &ov);
        const bool completed = ::GetOverlappedResult(comm.get(), &ov, &got, TRUE) != FALSE;
        inFlight = false;
        if (!completed)
            got = 0;
        return completed;
    }

    // True once the operation in flight on `ov` has come back (whatever its
    // outcome).
    bool settle(OVERLAPPED& ov, HANDLE event, bool& inFlight, DWORD waitMs)
    {
        if (!inFlight)
            return true;
        if (::WaitForSingleObject(event, waitMs) != WAIT_OBJECT_0)
            return false;
        DWORD ignored = 0;
        ::GetOverlappedResult(comm.get(), &ov, &ignored, FALSE);
        inFlight = false;
        return true;
    }
    bool settleWrite(DWORD waitMs)
    {
        return settle(writeOv, writeEvent.get(), writeInFlight, waitMs);
    }

    // One overlapped read of `count` (at most 256) bytes into readBuffer.
    // True with `got` set only for a read seen complete. A read the driver
    // aborted on a line error is made once more after the error is cleared.
    bool readChunk(DWORD count, DWORD& got)
    {
        got = 0;
        // Every read given up on has been waited for, so none is still out.
        for (int attempt = 0; attempt < 2; ++attempt) {
            ::ResetEvent(readEvent.get());
            readOv = OVERLAPPED{};
            readOv.hEvent = readEvent.get();
            // No byte count with an OVERLAPPED: it is the result's to give.
            if (TheSerialCommCalls().readFile(comm.get(), readBuffer, count, nullptr, &readOv))
                return ::GetOverlappedResult(comm.get(), &readOv, &got, FALSE) != FALSE;
            DWORD err = ::GetLastError();
            if (err == ERROR_IO_PENDING) {
                readInFlight = true;
                if (::WaitForSingleObject(readEvent.get(), READ_WAIT_MS) != WAIT_OBJECT_0) {
                    // Still pending: cancel it and wait until it is back. A
                    // read that completed on the way is kept; the abort of
                    // the cancel is ours, not a loss.
                    return cancelAndWait(readOv, readInFlight, got);
                }
                readInFlight = false;
                if (::GetOverlappedResult(comm.get(), &readOv, &got, FALSE))
                    return true;
                // Not cancelled by us, so an abort here came from the driver.
                err = ::GetLastError();
            }
            if (!noteFailure("Reading", err))
                return false;
        }
        return false;
    }
};

SerialPort::SerialPort() : impl_(new Impl(device_))
{}

SerialPort::~SerialPort()
{
    close();
}

PortOpenResult SerialPort::open(const PortAddress& address)
{
    close();
    driver_ = {};
    if (!device_.begin(address.name))
        return PortOpenResult::OpenFailed;
    const std::string& path = device_.path;

    // Share mode 0: exclusive, so a second program (or a second Korvanel)
    // cannot talk on the same line at the same time.
    UniqueHandle comm(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, OPEN_FLAGS, nullptr));
    if (!comm.valid()) {
        const DWORD err = ::GetLastError();
        device_.openFailed("Opening", ExplainOpenFailure(err, SystemMessage(err)));
        return PortOpenResult::OpenFailed;
    }
    UniqueHandle readEvent(MakeManualResetEvent());
    UniqueHandle writeEvent(MakeManualResetEvent());
    if (!readEvent.valid() || !writeEvent.valid()) {
        device_.openFailed("Preparing the events of", SystemMessage(::GetLastError()));
        return PortOpenResult::OpenFailed;
    }

    // From here the port stays open whatever fails: the caller's next press
    // closes it.
    impl_->comm.reset(comm.release());
    impl_->readEvent.reset(readEvent.release());
    impl_->writeEvent.reset(writeEvent.release());
    impl_->readOv = OVERLAPPED{};
    impl_->writeOv = OVERLAPPED{};
    impl_->readInFlight = false;
    impl_->writeInFlight = false;
    const HANDLE h = impl_->comm.get();
    RecordOpenPort(h);

    ::SetupComm(h, DRIVER_QUEUE_SIZE, DRIVER_QUEUE_SIZE);

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    // A device that reports no line state is no serial port; sending it a
    // block built from zeros would configure whatever it is at random.
    if (!::GetCommState(h, &dcb)) {
        device_.openFailed("Reading the settings of", SystemMessage(::GetLastError()));
        return PortOpenResult::SettingFailed;
    }
    RecordFoundSettings(h, dcb);
    impl_->found = dcb;
    impl_->foundValid = true;
    ApplyLineSettings(dcb, line_);
    // RS-485: the driver raises RTS for each frame and drops it after the
    // last bit; the DCB found comes back at close.
    if (rs485_.enabled)
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    driver_ = {true, rs485_, LowLatency::Unavailable};
    if (!::SetCommState(h, &dcb)) {
        // A driver that cannot toggle RTS refuses the whole block.
        device_.openFailed("Configuring", SystemMessage(::GetLastError()) +
                                              (rs485_.enabled ? " (RTS toggled for --rs485)" : ""));
        return PortOpenResult::SettingFailed;
    }
    if (!::SetCommMask(h, EVENT_MASK)) {
        device_.openFailed("Setting the event mask of", SystemMessage(::GetLastError()));
        return PortOpenResult::MaskFailed;
    }
    return PortOpenResult::Ok;
}

bool SerialPort::isOpen() const
{
    return impl_->comm.valid();
}

void SerialPort::close()
{
    if (!impl_->comm.valid())
        return;
    // A request still with the driver writes into its record and buffer
    // when it comes back, even into those of a later open(); cancel it and
    // wait until it is back before the handle and events go.
    DWORD ignored = 0;
    impl_->cancelAndWait(impl_->readOv, impl_->readInFlight, ignored);
    impl_->cancelAndWait(impl_->writeOv, impl_->writeInFlight, ignored);
    if (std::exchange(impl_->foundValid, false))
        ::SetCommState(impl_->comm.get(), &impl_->found);
    ForgetOpenPort(impl_->comm.get());
    impl_->comm.reset();
    impl_->readEvent.reset();
    impl_->writeEvent.reset();
    impl_->waitEvent.reset();
}

std::uint32_t SerialPort::queuedByteCount()
{
    if (!impl_->usable())
        return 0;
    DWORD errors = 0;
    COMSTAT status{};
    // Fetching the error flags clears them, so a framing or overrun error
    // does not block the line; they are of no use to a run.
    if (!::ClearCommError(impl_->comm.get(), &errors, &status)) {
        impl_->noteFailure("Querying the input queue of", ::GetLastError());
        return 0;
    }
    return status.cbInQue;
}

bool SerialPort::waitForInput(std::chrono::milliseconds timeout)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    if (!impl_->usable())
        return device_.lost();
    if (!impl_->waitEvent.valid())
        impl_->waitEvent.reset(MakeManualResetEvent());
    if (!impl_->waitEvent.valid())
        return PollForInput(*this, timeout);
    const HANDLE h = impl_->comm.get();
    for (;;) {
        // Bytes queued before the wait count at once; the event mask also
        // wakes the wait on TXEMPTY, after which the queue is asked again.
        if (queuedByteCount() > 0)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (!impl_->usable() || left.count() <= 0)
            return device_.lost();
        ::ResetEvent(impl_->waitEvent.get());
        impl_->waitOv = OVERLAPPED{};
        impl_->waitOv.hEvent = impl_->waitEvent.get();
        if (::WaitCommEvent(h, &impl_->waitMask, &impl_->waitOv))
            continue;
        const DWORD err = ::GetLastError();
        if (err != ERROR_IO_PENDING) {
            if (impl_->noteFailure("Waiting for input on", err))
                continue;
            // A driver that takes no event waits: ask the queue instead.
            return PollForInput(*this, left);
        }
        bool inFlight = true;
        if (::WaitForSingleObject(impl_->waitEvent.get(), static_cast<DWORD>(left.count())) ==
            WAIT_OBJECT_0) {
            DWORD ignored = 0;
            if (!::GetOverlappedResult(h, &impl_->waitOv, &ignored, FALSE))
                impl_->noteFailure("Waiting for input on", ::GetLastError());
            continue;
        }
        // Time is up: the wait is cancelled and given back before its record
        // can be used again or the port closed.
        DWORD ignored = 0;
        impl_->cancelAndWait(impl_->waitOv, inFlight, ignored);
        return queuedByteCount() > 0 || device_.lost();
    }
}

void SerialPort::prepareWriteEvent()
{
    if (!impl_->usable())
        return;
    // The last tick's write is normally long done; its event is reused.
    if (impl_->settleWrite(impl_->writeWaitMs))
        ::ResetEvent(impl_->writeEvent.get());
}

bool SerialPort::readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept)
{
    bytesKept = 0;
    if (!impl_->usable())
        return false;
    if (count == 0)
        return true;
    // Every queued byte is taken out so the queue is empty after the tick;
    // the first 256 go to the caller, the rest are read and dropped in
    // pieces of 256 rather than overflowing the caller's buffer.
    std::uint32_t taken = 0;
    while (taken < count) {
        const DWORD chunk = std::min<std::uint32_t>(count - taken, READ_BUFFER_SIZE);
        DWORD got = 0;
        if (!impl_->readChunk(chunk, got))
            return false;
        if (taken < READ_BUFFER_SIZE) {
            const std::uint32_t keep = std::min<std::uint32_t>(got, READ_BUFFER_SIZE - taken);
            std::memcpy(buffer + taken, impl_->readBuffer, keep);
            bytesKept += keep;
        }
        if (got == 0)
            break;
        taken += got;
    }
    return true;
}

void SerialPort::writeFrame(const std::uint8_t* bytes, std::uint32_t count)
{
    if (!impl_->usable() || count == 0)
        return;
    // A write held by flow control keeps the record; this one is dropped
    // rather than reusing it, and the reply check simply fails.
    if (!impl_->settleWrite(0))
        return;
    count = std::min<std::uint32_t>(count, sizeof impl_->writeBuffer);
    std::memcpy(impl_->writeBuffer, bytes, count);
    impl_->writeWaitMs = WRITE_WAIT_MS + LineTimeUs(line_, count) / 1000;
    // A write the driver aborted on a line error is made once more after
    // the error is cleared.
    for (int attempt = 0; attempt < 2; ++attempt) {
        ::ResetEvent(impl_->writeEvent.get());
        impl_->writeOv = OVERLAPPED{};
        impl_->writeOv.hEvent = impl_->writeEvent.get();
        // No byte count with an OVERLAPPED: it is the result's to give.
        if (TheSerialCommCalls().writeFile(impl_->comm.get(), impl_->writeBuffer, count, nullptr,
                                           &impl_->writeOv))
            return;
        const DWORD err = ::GetLastError();
        if (err == ERROR_IO_PENDING) {
            impl_->writeInFlight = true;
            return;
        }
        if (!impl_->noteFailure("Writing", err))
            return;
    }
}

} // namespace korvanel
