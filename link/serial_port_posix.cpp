// The serial port on POSIX termios. Each Win32 step of a run has one
// counterpart here:
//   CreateFileA (exclusive, overlapped)  open(O_NONBLOCK | O_NOCTTY) + flock + TIOCEXCL
//   SetupComm / GetCommState            tcgetattr (a non-terminal fails here)
//   SetCommState                        tcsetattr, read back
//   SetCommMask                         fcntl: the descriptor is made non-blocking
//   ClearCommError (cbInQue)            ioctl(FIONREAD)
//   ReadFile / WriteFile (overlapped)   read / write on the non-blocking descriptor
//   CloseHandle                         restore the settings found at open,
//                                       TIOCNXCL, LOCK_UN, close
// A device that goes away shows as EIO/ENODEV/ENXIO from any of these, or as
// a hang-up: the kernel hangs the line up when a USB adapter is unplugged or
// the far end of a pseudo-terminal closes, and reads then return 0.
#include "serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "line_termios.h"
#include "open_port_record_posix.h"
#include "protocol.h"
#include "rs485_kernel_posix.h"
#include "serial_port_device_posix.h"
#include "unique_fd_posix.h"

namespace korvanel {

namespace {

// The caller's buffer is the tick's scratch of RX_SCRATCH_SIZE bytes.
constexpr std::uint32_t READ_BUFFER_SIZE = RX_SCRATCH_SIZE;

std::string SystemMessage(int err)
{
    return std::strerror(err);
}

// A pseudo-terminal slave: the kernel names its device /dev/pts/N
// whatever link it was opened through.
bool IsPseudoTerminal(int fd)
{
    char name[64] = {};
    return ::ttyname_r(fd, name, sizeof name) == 0 && std::strncmp(name, "/dev/pts/", 9) == 0;
}

// The errors with which the kernel answers on a descriptor whose device has
// been unplugged or whose line has been hung up. Line errors never show as
// errors here: with INPCK off a parity error passes the byte as it came,
// and with IGNBRK, BRKINT and PARMRK off a break reads as one 0x00 byte.
bool DeviceGone(int err)
{
    return err == EIO || err == ENODEV || err == ENXIO;
}

// A zero-timeout poll tells a hung-up line from one that is merely idle:
// both read as "nothing there", only the first reports POLLHUP or POLLERR.
bool HungUp(int fd)
{
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace

struct SerialPort::Impl {
    explicit Impl(Device& d) : device(d) {}

    Device& device;
    UniqueFd fd;
    // The settings found at open, put back at close: `--port tty` must not
    // leave the user's own terminal raw at 9600, nor a line another program
    // configured changed behind its back.
    termios found{};
    bool foundValid = false;

    // The driver's RS-485 mode and serial flags found at open, where we
    // changed them: the kernel keeps both after close, and the next program
    // on the line must find them as we did.
    serial_rs485 foundRs485{};
    bool rs485Changed = false;
    serial_struct foundSerial{};
    bool serialChanged = false;

    // Low latency always, the RS-485 mode where asked; false, with the
    // status set, when the mode asked cannot be had.
    bool setUpDriver(const Rs485Settings& asked, SerialDriverState& state,
                     std::vector<std::string>& notes)
    {
        const int port = fd.get();
        FdDriverCalls calls(port, device.path);
        const LowLatencyResult latency =
            TakeLowLatency(calls, device.path, [&](const serial_struct& found) {
                RecordFoundSerialFlags(port, found);
                foundSerial = found;
                serialChanged = true;
            });
        state.serial = true;
        state.lowLatency = latency.state;
        if (!latency.note.empty())
            notes.push_back(latency.note);
        if (!asked.enabled)
            return true;
        Rs485Result rs485 = TakeRs485(calls, device.path, asked, [&](const serial_rs485& found) {
            RecordFoundRs485(port, found);
            foundRs485 = found;
            rs485Changed = true;
        });
        if (!rs485.error.empty()) {
            device.status = {PortStatus::Reason::OpenFailed, rs485.error};
            return false;
        }
        state.rs485 = rs485.inForce;
        notes.insert(notes.end(), rs485.notes.begin(), rs485.notes.end());
        return true;
    }

    // Each harmless on a driver that refuses it.
    void restoreDriver()
    {
        if (std::exchange(rs485Changed, false))
            (void)::ioctl(fd.get(), TIOCSRS485, &foundRs485);
        if (std::exchange(serialChanged, false))
            (void)::ioctl(fd.get(), TIOCSSERIAL, &foundSerial);
    }

    // True when the port can still be used for a tick.
    bool usable() const { return fd.valid() && !device.lost(); }
    // Where bytes beyond the caller's 256 go on their way out of the queue.
    std::uint8_t discard[READ_BUFFER_SIZE] = {};
    // When the last frame went into the output queue, and its line time:
    // close() lets it leave the wire before the settings change.
    std::chrono::steady_clock::time_point lastWriteAt{};
    std::chrono::microseconds lastWriteLineTime{0};

    // Waits until the last frame has left: its line time since it was
    // written has passed and the driver's output queue is empty. Never
    // longer than twice its line time, so a line held by flow control
    // cannot hold up a Stop.
    void drainLastFrame()
    {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point sent = lastWriteAt + lastWriteLineTime;
        const Clock::time_point latest = sent + lastWriteLineTime;
        lastWriteLineTime = std::chrono::microseconds(0);
        for (;;) {
            const Clock::time_point now = Clock::now();
            int queued = 0;
            // The queue count misses the bytes in the UART's own buffer,
            // which the line time covers.
            const bool queueEmpty = ::ioctl(fd.get(), TIOCOUTQ, &queued) != 0 || queued <= 0;
            if ((now >= sent && queueEmpty) || now >= latest)
                return;
            std::this_thread::sleep_for(std::min<Clock::duration>(
                now < sent ? sent - now : latest - now, std::chrono::milliseconds(1)));
        }
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
    impl_->foundValid = false;
    driver_ = {};
    notes_.clear();
    if (!device_.begin(address.name))
        return PortOpenResult::OpenFailed;
    const std::string& path = device_.path;

    // Non-blocking so a port whose carrier line is down cannot hang the
    // open, and no controlling terminal so a line hang-up sends no signal.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        device_.openFailed("Opening", ExplainOpenFailure(errno, path));
        return PortOpenResult::OpenFailed;
    }
    const std::string refused = RefusedAsLine(fd.get());
    if (!refused.empty()) {
        device_.openFailed("Opening", refused);
        return PortOpenResult::OpenFailed;
    }
    // Exclusive: a second korvanel, a terminal program that locks, or any
    // flock user is refused, as a share mode of 0 does on Windows. The lock
    // goes with the descriptor, so a crashed holder never leaves it behind.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno == EWOULDBLOCK ? EBUSY : errno;
        device_.openFailed("Opening", ExplainOpenFailure(err, path));
        return PortOpenResult::OpenFailed;
    }
    RecordOpenPort(fd.get());
    // Keeps later opens by other (unprivileged) programs out too; fails
    // harmlessly on a non-terminal, which the settings step then reports.
    (void)::ioctl(fd.get(), TIOCEXCL);

    // From here the port stays open whatever fails: the caller's next stop
    // closes it.
    impl_->fd.reset(fd.release());
    const int port = impl_->fd.get();

    termios tio{};
    if (::tcgetattr(port, &tio) != 0) {
        device_.openFailed("Reading the settings of", SystemMessage(errno));
        return PortOpenResult::SettingFailed;
    }
    impl_->found = tio;
    impl_->foundValid = true;
    RecordFoundSettings(port, tio);
    if (!ApplyLineSettings(tio, line_)) {
        device_.openFailed("Configuring",
                           std::to_string(line_.baud) + " baud has no termios speed");
        return PortOpenResult::SettingFailed;
    }
    termios readBack{};
    if (::tcsetattr(port, TCSANOW, &tio) != 0) {
        device_.openFailed("Configuring", SystemMessage(errno));
        return PortOpenResult::SettingFailed;
    }
    // tcsetattr succeeds when any one change was made; a driver that
    // refused the settings must not pass as configured.
    if (::tcgetattr(port, &readBack) != 0 ||
        !LineSettingsTookEffect(readBack, line_, IsPseudoTerminal(port))) {
        device_.openFailed("Configuring", "the driver did not take " + line_.text());
        return PortOpenResult::SettingFailed;
    }
    if (!impl_->setUpDriver(rs485_, driver_, notes_))
        return PortOpenResult::SettingFailed;

    const int flags = ::fcntl(port, F_GETFL);
    if (flags < 0 || ::fcntl(port, F_SETFL, flags | O_NONBLOCK) != 0) {
        device_.openFailed("Setting the event mode of", SystemMessage(errno));
        return PortOpenResult::MaskFailed;
    }
    return PortOpenResult::Ok;
}

bool SerialPort::isOpen() const
{
    return impl_->fd.valid();
}

void SerialPort::close()
{
    if (!impl_->fd.valid())
        return;
    const int fd = impl_->fd.get();
    // A Stop right after a write must not change the line under the frame:
    // it drains first, bounded by its line time (tcdrain could wait forever
    // on a line held by hardware flow control); then TCSANOW. A lost device
    // refuses all these steps; they are harmless then.
    if (!device_.lost())
        impl_->drainLastFrame();
    impl_->restoreDriver();
    if (impl_->foundValid)
        (void)::tcsetattr(fd, TCSANOW, &impl_->found);
    impl_->foundValid = false;
    // The exclusive flag outlives the descriptor on a pseudo-terminal whose
    // other end stays open; clear it so the next opener is not refused.
    (void)::ioctl(fd, TIOCNXCL);
    // The lock belongs to the open file, which a forked child may still
    // share; drop it explicitly rather than with the last descriptor.
    (void)::flock(fd, LOCK_UN);
    ForgetOpenPort(fd);
    impl_->fd.reset();
}

std::uint32_t SerialPort::queuedByteCount()
{
    if (!impl_->usable())
        return 0;
    const int fd = impl_->fd.get();
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0) {
        if (DeviceGone(errno))
            device_.markLost("Querying the input queue of", SystemMessage(errno));
        return 0;
    }
    if (queued <= 0) {
        if (HungUp(fd))
            device_.markLost("Querying the input queue of", "the line hung up");
        return 0;
    }
    return static_cast<std::uint32_t>(queued);
}

bool SerialPort::waitForInput(std::chrono::milliseconds timeout)
{
    if (!impl_->usable())
        return device_.lost();
    pollfd p{impl_->fd.get(), POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        const int ready = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready >= 0 || errno != EINTR)
            // A hang-up wakes the poll too: the caller's next queue query
            // finds the loss and says so.
            return ready > 0;
    }
}

void SerialPort::prepareWriteEvent()
{
    // A non-blocking write needs no completion event.
}

bool SerialPort::readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept)
{
    bytesKept = 0;
    if (!impl_->usable())
        return false;
    const int fd = impl_->fd.get();
    // Every queued byte is taken out so the queue is empty after the tick;
    // the first 256 land in the caller's buffer, the rest are dropped.
    std::uint32_t taken = 0;
    while (taken < count) {
        std::uint8_t* target;
        std::uint32_t room;
        if (taken < READ_BUFFER_SIZE) {
            target = buffer + taken;
            room = READ_BUFFER_SIZE - taken;
        } else {
            target = impl_->discard;
            room = READ_BUFFER_SIZE;
        }
        const ssize_t n = ::read(fd, target, std::min(room, count - taken));
        if (n > 0) {
            taken += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // The queue ran dry early (EAGAIN) or the device went away (0, EIO):
        // a vanished device reads as a failed read and gathers nothing.
        if (n == 0) {
            if (HungUp(fd))
                device_.markLost("Reading", "the line hung up");
            return false;
        }
        if (errno != EAGAIN) {
            if (DeviceGone(errno))
                device_.markLost("Reading", SystemMessage(errno));
            return false;
        }
        break;
    }
    bytesKept = std::min(taken, READ_BUFFER_SIZE);
    return true;
}

void SerialPort::writeFrame(const std::uint8_t* bytes, std::uint32_t count)
{
    if (device_.status.reason == PortStatus::Reason::WriteCutShort)
        device_.status = {};
    if (!impl_->usable())
        return;
    const int fd = impl_->fd.get();
    using Clock = std::chrono::steady_clock;
    // A partial write or a full output queue (EAGAIN) is finished within the
    // frame's own line time (8 bytes at 9600 8N1: 8.3 ms); whatever is left
    // then is dropped from the queue, so no fragment precedes the next frame
    // without its silence, and the frame counts as not sent. A failed write
    // only counts as a loss when the device has gone.
    const Clock::time_point start = Clock::now();
    const std::chrono::microseconds lineTime(LineTimeUs(line_, count));
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            if (DeviceGone(errno))
                device_.markLost("Writing", SystemMessage(errno));
            else
                device_.writeCutShort("not sent: " + SystemMessage(errno));
            break;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(start + lineTime - Clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
    }
    impl_->lastWriteAt = start;
    impl_->lastWriteLineTime = lineTime;
    if (done < count && !device_.lost()) {
        (void)::tcflush(fd, TCOFLUSH);
        if (device_.status.reason != PortStatus::Reason::WriteCutShort)
            device_.writeCutShort("not sent: " + std::to_string(done) + " of " +
                                  std::to_string(count) +
                                  " bytes went out within the frame's line time (" +
                                  std::to_string(lineTime.count()) + " us)");
    }
}

} // namespace korvanel
