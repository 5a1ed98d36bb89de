// The serial port on the Win32 communications API, with overlapped I/O so
// that no call can stall the UI thread for longer than a short bound:
//   open   CreateFileA (exclusive, overlapped), SetupComm, GetCommState,
//          SetCommState (the line settings, binary), SetCommMask
//   tick   ClearCommError (cbInQue), ReadFile and WriteFile, overlapped
//   close  CloseHandle
// A device that goes away (a USB adapter pulled) makes these fail with one
// of the errors DeviceGone() lists, whichever the driver chose.
#include "serial_port.h"

#include "line_dcb.h"
#include "open_port_record_win32.h"
#include "protocol.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace korvanel {

namespace {

// The caller's buffer is the tick's scratch of RX_SCRATCH_SIZE bytes.
constexpr std::uint32_t READ_BUFFER_SIZE = RX_SCRATCH_SIZE;
// Driver queue sizes recommended on open: one request and its reply are
// 8 bytes each, so 256 leaves ample room for a chattering line.
constexpr DWORD DRIVER_QUEUE_SIZE = 256;
// GENERIC_READ | GENERIC_WRITE is asked for with FILE_ATTRIBUTE_NORMAL |
// FILE_FLAG_OVERLAPPED = 0x40000080.
constexpr DWORD OPEN_FLAGS = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED;
// EV_RXCHAR | EV_TXEMPTY = 0x0005. No event wait is ever issued; the mask
// only tells whether the driver takes event requests at all.
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
// How long close() lets a cancelled request come back before the event and
// the record it uses are released.
constexpr DWORD CANCEL_WAIT_MS = 200;

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
// ERROR_DEVICE_REMOVED, ERROR_GEN_FAILURE or ERROR_OPERATION_ABORTED on a
// request the driver ended itself; Wine reports a hung-up line (EIO) as
// ERROR_NOT_READY.
bool DeviceGone(DWORD err)
{
    switch (err) {
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_GEN_FAILURE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
        return true;
    default:
        return false;
    }
}

HANDLE MakeManualResetEvent()
{
    return ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// COMn -> n, or 0 when `name` is not COM followed by a number from 1 up.
unsigned long ComNumber(const char* name)
{
    if (std::strlen(name) < 4 || std::strlen(name) > 6 || _strnicmp(name, "COM", 3) != 0)
        return 0;
    unsigned long n = 0;
    for (const char* p = name + 3; *p; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return 0;
        n = n * 10 + static_cast<unsigned long>(*p - '0');
    }
    return n;
}

} // namespace

struct SerialPort::Impl {
    explicit Impl(Device& d) : device(d) {}

    Device& device;
    UniqueHandle comm;
    // One event per record, made at open and released at close, rather than
    // a new one on every tick that is never released.
    UniqueHandle readEvent;
    UniqueHandle writeEvent;
    OVERLAPPED readOv{};
    OVERLAPPED writeOv{};
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

    // True when the port can still be used for a tick.
    bool usable() const { return comm.valid() && !device.lost; }
    // Records the loss when `err` says the device is gone.
    void noteFailure(const char* what, DWORD err)
    {
        if (DeviceGone(err))
            device.markLost(what, SystemMessage(err));
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
    bool settleRead(DWORD waitMs) { return settle(readOv, readEvent.get(), readInFlight, waitMs); }
    bool settleWrite(DWORD waitMs) { return settle(writeOv, writeEvent.get(), writeInFlight, waitMs); }

    // One overlapped read of `count` (at most 256) bytes into readBuffer.
    // True with `got` set only for a read seen complete.
    bool readChunk(DWORD count, DWORD& got)
    {
        got = 0;
        if (!settleRead(0))
            return false;
        ::ResetEvent(readEvent.get());
        readOv.Offset = 0;
        readOv.OffsetHigh = 0;
        readOv.hEvent = readEvent.get();
        if (::ReadFile(comm.get(), readBuffer, count, &got, &readOv))
            return true;
        const DWORD err = ::GetLastError();
        if (err != ERROR_IO_PENDING) {
            noteFailure("Reading", err);
            return false;
        }
        readInFlight = true;
        if (::WaitForSingleObject(readEvent.get(), READ_WAIT_MS) == WAIT_OBJECT_0) {
            readInFlight = false;
            if (::GetOverlappedResult(comm.get(), &readOv, &got, FALSE))
                return true;
            // Not cancelled by us, so an abort here came from the driver.
            noteFailure("Reading", ::GetLastError());
            return false;
        }
        // Still pending: cancel it, and gather nothing from it even if it
        // completes on the way. The abort this causes is ours, not a loss.
        ::CancelIo(comm.get());
        settleRead(READ_WAIT_MS);
        got = 0;
        return false;
    }
};

SerialPort::SerialPort() : impl_(new Impl(device_)) {}

SerialPort::~SerialPort()
{
    close();
}

PortOpenResult SerialPort::open(const std::string& portName)
{
    close();
    if (!device_.begin(portName))
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
    ApplyLineSettings(dcb, line_);
    if (!::SetCommState(h, &dcb)) {
        device_.openFailed("Configuring", SystemMessage(::GetLastError()));
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
    // when it comes back; let it come back before they are reused.
    if (impl_->readInFlight || impl_->writeInFlight) {
        ::CancelIo(impl_->comm.get());
        impl_->settleRead(CANCEL_WAIT_MS);
        impl_->settleWrite(CANCEL_WAIT_MS);
    }
    ForgetOpenPort(impl_->comm.get());
    impl_->comm.reset();
    // Closing the port ends whatever was still pending on it.
    impl_->readInFlight = false;
    impl_->writeInFlight = false;
    impl_->readEvent.reset();
    impl_->writeEvent.reset();
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
    return RunPort::waitForInput(timeout);
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
    ::ResetEvent(impl_->writeEvent.get());
    impl_->writeOv = OVERLAPPED{};
    impl_->writeOv.hEvent = impl_->writeEvent.get();
    DWORD written = 0;
    impl_->writeWaitMs = WRITE_WAIT_MS + LineTimeUs(line_, count) / 1000;
    if (::WriteFile(impl_->comm.get(), impl_->writeBuffer, count, &written, &impl_->writeOv))
        return;
    const DWORD err = ::GetLastError();
    if (err == ERROR_IO_PENDING)
        impl_->writeInFlight = true;
    else
        impl_->noteFailure("Writing", err);
}

std::string SerialPort::DevicePathFor(const std::string& portName)
{
    // Only a plain COM<n> gets the device namespace prefix: without it only
    // COM1 to COM9 are found, as the plain names of higher ports are not
    // reserved DOS names. Anything else ("COM1:", "\\.\COM23", a driver's
    // own device name) opens as typed, so a name that worked unprefixed
    // keeps working.
    const bool comName =
        portName.size() > 3 && _strnicmp(portName.c_str(), "COM", 3) == 0 &&
        std::all_of(portName.begin() + 3, portName.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
    return comName ? "\\\\.\\" + portName : portName;
}

std::vector<std::string> SerialPort::ListPorts(const std::string& /*deviceRoot*/)
{
    // Every DOS device name, NUL-separated; COMn entries are serial ports.
    std::vector<char> names(1 << 16);
    DWORD n = 0;
    for (;;) {
        n = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (n != 0 || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 22))
            break;
        names.resize(names.size() * 2);
    }
    std::vector<std::pair<unsigned long, std::string>> ports;
    for (const char* p = names.data(); n != 0 && p < names.data() + n && *p; p += std::strlen(p) + 1) {
        if (const unsigned long number = ComNumber(p))
            ports.emplace_back(number, "COM" + std::to_string(number));
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    std::vector<std::string> result;
    for (auto& port : ports)
        result.push_back(std::move(port.second));
    return result;
}

} // namespace korvanel
