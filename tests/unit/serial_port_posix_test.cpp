// The POSIX serial port on real pseudo-terminals: the far end (the master)
// stands in for the inverter.
#include "line_termios.h"
#include "serial_port.h"
#include "texts.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace korvanel {
namespace {

PortAddress Serial(const std::string& name)
{
    return {PortScheme::Serial, name, {}, 0};
}


using Bytes = std::vector<std::uint8_t>;

class Pty {
public:
    Pty()
    {
        char name[128] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) == 0)
            path_ = name;
    }
    ~Pty()
    {
        if (slave_ >= 0)
            ::close(slave_);
        closeMaster();
    }
    // The inverter's side goes away, as an adapter pulled out: the kernel
    // hangs up the port's side.
    void closeMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    int slave() const { return slave_; }

    void send(const Bytes& bytes) const
    {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        // The line discipline moves the bytes to the slave side asynchronously.
        for (int i = 0; i < 200; ++i) {
            int queued = 0;
            ::ioctl(slave_, FIONREAD, &queued);
            if (queued >= static_cast<int>(bytes.size()))
                return;
            ::usleep(1000);
        }
    }
    Bytes receive() const
    {
        Bytes out;
        ::fcntl(master_, F_SETFL, O_NONBLOCK);
        for (int i = 0; i < 200 && out.empty(); ++i) {
            std::uint8_t buf[512];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0)
                out.insert(out.end(), buf, buf + n);
            else
                ::usleep(1000);
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

TEST(SerialPortNames, MapToDevicePaths)
{
    struct Row {
        const char* typed;
        const char* opened;
    };
    const Row rows[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM3", "/dev/ttyS2"},
        {"com10", "/dev/ttyS9"},
        {"COM256", "/dev/ttyS255"},
        {"COM0", "/dev/COM0"},
        {"COM", "/dev/COM"},
        {"COM1x", "/dev/COM1x"},
        {"COM1:", "/dev/COM1:"},
        {"COM99999", "/dev/ttyS99998"},
        {"COM100000", "/dev/COM100000"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"/dev/pts/7", "/dev/pts/7"},
        {"./link", "./link"},
        {"", ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(SerialPort::DevicePathFor(row.typed), row.opened) << row.typed;
}

TEST(SerialPortOpen, FailuresGiveTheDialogTextAndPortState)
{
    char file[] = "/tmp/korvanel-not-a-tty-XXXXXX";
    const int fileFd = ::mkstemp(file);
    ASSERT_GE(fileFd, 0);
    ::close(fileFd);

    struct Row {
        std::string name;
        PortOpenResult result;
        const char* text;
        bool openAfter;
    };
    const Row rows[] = {
        {"", PortOpenResult::OpenFailed, "COM Open Fail", false},
        {"/dev/korvanel-no-such-port", PortOpenResult::OpenFailed, "COM Open Fail", false},
        {"/dev/null", PortOpenResult::SettingFailed, "COM Setting Fail!!", true},
        {file, PortOpenResult::SettingFailed, "COM Setting Fail!!", true},
        {"/dev/ptmx", PortOpenResult::OpenFailed, "COM Open Fail", false},
    };
    for (const Row& row : rows) {
        SerialPort port;
        const PortOpenResult result = port.open(Serial(row.name));
        EXPECT_EQ(result, row.result) << row.name;
        EXPECT_STREQ(PortOpenFailureText(result), row.text) << row.name;
        EXPECT_EQ(port.isOpen(), row.openAfter) << row.name;
        EXPECT_FALSE(port.status().text.empty()) << row.name;
        port.close();
        EXPECT_FALSE(port.isOpen());
    }
    ::unlink(file);
    EXPECT_STREQ(PortOpenFailureText(PortOpenResult::MaskFailed), "COM Mask Set Fail");
    EXPECT_STREQ(PortOpenFailureText(PortOpenResult::Ok), "");
}

TEST(SerialPortOpen, RefusesTheTerminalTheProcessRunsIn)
{
    int master = -1, slave = -1;
    char name[64] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // A new session takes the first terminal it opens as its own.
        SerialPort port;
        ::_exit(::setsid() > 0 && ::open(name, O_RDWR) >= 0 && port.open(Serial(name)) == PortOpenResult::OpenFailed ? 0 : 1);
    }
    int status = -1;
    EXPECT_TRUE(::waitpid(child, &status, 0) == child && status == 0) << status;
    ::close(master);
    ::close(slave);
}

TEST(SerialPortOpen, IsExclusiveUntilClosed)
{
    Pty pty;
    SerialPort first;
    SerialPort second;
    ASSERT_EQ(first.open(Serial(pty.path())), PortOpenResult::Ok);
    EXPECT_EQ(second.open(Serial(pty.path())), PortOpenResult::OpenFailed);
    EXPECT_FALSE(second.isOpen());
    EXPECT_NE(second.status().text.find("busy"), std::string::npos) << second.status().text;
    first.close();
    EXPECT_EQ(second.open(Serial(pty.path())), PortOpenResult::Ok);
}

TEST(SerialPortOpen, ChangesOnlyTheLineSettings)
{
    Pty pty;
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);
    // Settings a run must leave alone: flow control, modem lines, a
    // special character, and a different speed and framing to be replaced.
    before.c_iflag |= IXON | IXOFF | ICRNL | INPCK | IUTF8;
    before.c_cflag |= CRTSCTS | CLOCAL | HUPCL | PARENB | PARODD | CSTOPB;
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7;
    before.c_cc[VSTART] = 0x13;
    before.c_lflag |= ECHO | ICANON;
    cfsetispeed(&before, B19200);
    cfsetospeed(&before, B19200);
    ASSERT_EQ(::tcsetattr(pty.slave(), TCSANOW, &before), 0);

    SerialPort port;
    ASSERT_EQ(port.open(Serial(pty.path())), PortOpenResult::Ok);
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &after), 0);
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(after.c_iflag & (INPCK | ICRNL), 0u);
    // Software flow control would swallow 0x11 and 0x13 of a reply.
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(after.c_lflag & (ECHO | ICANON), 0u);
    // Untouched.
    EXPECT_EQ(after.c_iflag & IUTF8, static_cast<tcflag_t>(IUTF8));
    EXPECT_EQ(after.c_cflag & (CRTSCTS | CLOCAL | HUPCL | PARODD),
              static_cast<tcflag_t>(CRTSCTS | CLOCAL | HUPCL | PARODD));
    EXPECT_EQ(after.c_cc[VSTART], 0x13);
}

using Parity = LineSettings::Parity;

// A termios unlike every row: 300 baud 7O2, parity checked.
termios Unlike()
{
    termios tio{};
    tio.c_cflag = CS7 | PARENB | PARODD | CSTOPB;
    tio.c_iflag = INPCK | IXON;
    cfsetispeed(&tio, B300);
    cfsetospeed(&tio, B300);
    return tio;
}

TEST(LineTermios, EveryRateParityAndStopBitsBuildTheirTermios)
{
    const struct {
        std::uint32_t baud;
        speed_t speed;
    } speeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                  {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    const struct {
        Parity parity;
        tcflag_t cflag;  // of PARENB | PARODD
        tcflag_t iflag;  // of INPCK
    } parities[] = {{Parity::None, PARODD, 0}, {Parity::Even, PARENB, INPCK}, {Parity::Odd, PARENB | PARODD, INPCK}};
    for (const auto& speed : speeds) {
        for (const auto& parity : parities) {
            for (const std::uint8_t stopBits : {1, 2}) {
                const LineSettings line{speed.baud, parity.parity, stopBits};
                SCOPED_TRACE(line.text());
                termios tio = Unlike();
                ASSERT_TRUE(ApplyLineSettings(tio, line));
                EXPECT_EQ(cfgetispeed(&tio), speed.speed);
                EXPECT_EQ(cfgetospeed(&tio), speed.speed);
                EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
                // Without parity PARODD means nothing and stays as found.
                EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), parity.cflag);
                EXPECT_EQ(tio.c_iflag & INPCK, parity.iflag);
                EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, stopBits == 2);
                EXPECT_EQ(tio.c_iflag & IXON, 0u);
                EXPECT_TRUE(LineSettingsTookEffect(tio, line, false));
            }
        }
    }
    termios tio = Unlike();
    EXPECT_FALSE(ApplyLineSettings(tio, LineSettings{14400, Parity::None, 1}));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B300));
}

TEST(LineTermios, TheReadBackMustShowWhatTheLineCanShow)
{
    const LineSettings even{19200, Parity::Even, 1};
    struct Row {
        const char* name;
        LineSettings asked;
        std::function<void(termios&)> driver;  // what the driver made of it
        bool pseudoTerminal;
        bool tookEffect;
    };
    const Row rows[] = {
        {"all taken", even, [](termios&) {}, false, true},
        {"parity dropped by a pseudo-terminal", even, [](termios& t) { t.c_cflag &= ~PARENB; }, true, true},
        {"parity dropped by a serial driver", even, [](termios& t) { t.c_cflag &= ~PARENB; }, false, false},
        {"odd taken as even", {19200, Parity::Odd, 1}, [](termios& t) { t.c_cflag &= ~PARODD; }, false, false},
        {"parity where none was asked", {19200, Parity::None, 1}, [](termios& t) { t.c_cflag |= PARENB; }, false,
         false},
        {"speed refused", even, [](termios& t) { cfsetospeed(&t, B9600); }, true, false},
        {"stop bits refused", {19200, Parity::None, 2}, [](termios& t) { t.c_cflag &= ~CSTOPB; }, true, false},
        {"7 data bits", even, [](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS7; }, true, false},
    };
    for (const Row& row : rows) {
        termios tio = Unlike();
        ASSERT_TRUE(ApplyLineSettings(tio, row.asked));
        row.driver(tio);
        EXPECT_EQ(LineSettingsTookEffect(tio, row.asked, row.pseudoTerminal), row.tookEffect) << row.name;
    }
}

// The descriptors of this process open on `path`, other than `except`.
std::vector<int> DescriptorsOn(const std::string& path, int except)
{
    std::vector<int> found;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return found;
    while (const dirent* e = ::readdir(dir)) {
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        const int fd = std::atoi(e->d_name);
        if (n > 0 && path == target && fd != except)
            found.push_back(fd);
    }
    ::closedir(dir);
    return found;
}

TEST(SerialPortClose, GivesThePortBackAsFound)
{
    Pty pty;
    // A terminal as a user leaves it: 19200 7E1, echo and line editing on.
    termios found{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &found), 0);
    found.c_lflag |= ECHO | ICANON;
    found.c_cflag = (found.c_cflag & ~CSIZE) | CS7 | PARENB;
    cfsetispeed(&found, B19200);
    cfsetospeed(&found, B19200);
    ASSERT_EQ(::tcsetattr(pty.slave(), TCSANOW, &found), 0);
    ASSERT_EQ(::tcgetattr(pty.slave(), &found), 0);

    SerialPort port;
    ASSERT_EQ(port.open(Serial(pty.path())), PortOpenResult::Ok);
    int exclusive = 0;
    ASSERT_EQ(::ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    // A program the user starts from the dialog must not inherit the port.
    const std::vector<int> portFds = DescriptorsOn(pty.path(), pty.slave());
    ASSERT_EQ(portFds.size(), 1u);
    EXPECT_NE(::fcntl(portFds[0], F_GETFD) & FD_CLOEXEC, 0) << "the port is inherited across exec";

    port.close();
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &after), 0);
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B19200));
    EXPECT_EQ(after.c_cflag, found.c_cflag);
    EXPECT_EQ(after.c_lflag, found.c_lflag);
    EXPECT_EQ(after.c_iflag, found.c_iflag);
    EXPECT_EQ(after.c_oflag, found.c_oflag);
    // Left set, it refuses every later non-root opener for as long as the
    // far end stays open.
    ASSERT_EQ(::ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST(SerialPortIo, MovesBytesBothWays)
{
    struct Row {
        const char* name;
        std::size_t queued;
        std::size_t kept;
    };
    // Whatever is queued is taken out; only the first 256 are kept. Every
    // byte value passes, 0x11 and 0x13 (XON, XOFF) and 0x0D included.
    const Row rows[] = {
        {"a reply", 8, 8},
        {"exactly the buffer", 256, 256},
        {"a flood past the buffer", 300, 256},
        {"a flood many times the buffer", 1000, 256},
    };
    for (const Row& row : rows) {
        Pty pty;
        SerialPort port;
        ASSERT_EQ(port.open(Serial(pty.path())), PortOpenResult::Ok);
        Bytes sent(row.queued);
        for (std::size_t i = 0; i < sent.size(); ++i)
            sent[i] = static_cast<std::uint8_t>(i * 7 + 1);
        pty.send(sent);

        const std::uint32_t queued = port.queuedByteCount();
        EXPECT_EQ(queued, row.queued) << row.name;
        // Guard bytes after the 256-byte buffer catch an overflow.
        std::uint8_t buffer[256 + 16];
        std::fill(std::begin(buffer), std::end(buffer), 0xEE);
        std::uint32_t kept = 0;
        EXPECT_TRUE(port.readQueued(buffer, queued, kept)) << row.name;
        EXPECT_EQ(kept, row.kept) << row.name;
        EXPECT_EQ(Bytes(buffer, buffer + kept), Bytes(sent.begin(), sent.begin() + row.kept)) << row.name;
        for (std::size_t i = 256; i < sizeof buffer; ++i)
            EXPECT_EQ(buffer[i], 0xEE) << row.name << " overflow at " << i;
        EXPECT_EQ(port.queuedByteCount(), 0u) << row.name;
    }

    Pty pty;
    SerialPort port;
    ASSERT_EQ(port.open(Serial(pty.path())), PortOpenResult::Ok);
    const Bytes request = {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C};
    port.prepareWriteEvent();
    port.writeFrame(request.data(), static_cast<std::uint32_t>(request.size()));
    EXPECT_EQ(pty.receive(), request);
}

long long UsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

// A Stop right after a write lets the frame leave the line before the
// settings found at open come back.
TEST(SerialPortClose, LetsTheLastFrameLeaveFirst)
{
    for (const std::uint32_t baud : {9600u, 1200u}) {
        Pty pty;
        SerialPort port;
        port.setLineSettings(LineSettings{baud, LineSettings::Parity::None, 1});
        ASSERT_EQ(port.open(Serial(pty.path())), PortOpenResult::Ok);
        const auto start = std::chrono::steady_clock::now();
        port.writeFrame(Bytes(8, 0x11).data(), 8);
        port.close();
        const long long us = UsSince(start), lineUs = LineTimeUs(port.lineSettings(), 8);
        std::printf("%u baud: closed %lld us after the write (line time %lld us)\n", baud, us, lineUs);
        EXPECT_GE(us, lineUs);
        EXPECT_LT(us, 2 * lineUs + 500000);
    }
}

// Into a full output queue: the frame is finished within its line time if
// room comes (the far end reads after 40 ms), else it is not sent and says so.
TEST(SerialPortIo, AFrameIsFinishedWithinItsLineTimeOrNotSent)
{
    const Bytes frame(256, 0x5A);
    for (const int readAfterMs : {-1, 40}) {
        Pty pty;
        SerialPort port;
        ASSERT_EQ(port.open(Serial(pty.path())), PortOpenResult::Ok);
        ::fcntl(pty.slave(), F_SETFL, O_NONBLOCK);
        ::fcntl(pty.master(), F_SETFL, O_NONBLOCK);
        // Full once three tries 20 ms apart find no room: the kernel moves
        // bytes on to the far end's buffer behind the writer's back.
        for (int tries = 0; tries < 3;) {
            const bool room = ::write(pty.slave(), frame.data(), frame.size()) > 0;
            tries = room ? 0 : tries + 1;
            if (!room)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(readAfterMs));
            std::uint8_t buf[4096];
            while (readAfterMs >= 0 && !stop)
                if (::read(pty.master(), buf, sizeof buf) <= 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        const auto start = std::chrono::steady_clock::now();
        port.writeFrame(frame.data(), 256);
        const long long ms = UsSince(start) / 1000, lineMs = LineTimeUs(port.lineSettings(), 256) / 1000;
        stop = true;
        reader.join();
        std::printf("far end reading after %d ms: %s after %lld ms (line time %lld ms)\n", readAfterMs,
                    port.status().text.c_str(), ms, lineMs);
        EXPECT_EQ(port.status().text.rfind("not sent: ", 0), readAfterMs < 0 ? 0u : std::string::npos);
        EXPECT_GE(ms, readAfterMs < 0 ? lineMs : readAfterMs / 2);
        EXPECT_LT(ms, lineMs + 1000);
    }
}

TEST(SerialPortIo, ClosedPortReadsNothing)
{
    Pty pty;
    SerialPort port;
    ASSERT_EQ(port.open(Serial(pty.path())), PortOpenResult::Ok);
    pty.send({1, 2, 3});
    port.close();
    port.close();  // a second close does nothing
    std::uint8_t buffer[256];
    std::uint32_t kept = 99;
    EXPECT_EQ(port.queuedByteCount(), 0u);
    EXPECT_FALSE(port.readQueued(buffer, 3, kept));
    EXPECT_EQ(kept, 0u);
    const std::uint8_t byte = 0;
    port.writeFrame(&byte, 1);  // must not crash
}

TEST(SerialPortLoss, EachTickOperationReportsTheDeviceGone)
{
    std::uint8_t buffer[256];
    std::uint32_t kept = 0;
    const std::uint8_t request[] = {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C};
    struct Row {
        const char* operation;
        std::function<void(SerialPort&)> meetLoss;
        const char* reasonStart;
    };
    const Row rows[] = {
        {"queue query", [](SerialPort& p) { p.queuedByteCount(); }, "Querying the input queue of '"},
        {"read", [&](SerialPort& p) { p.readQueued(buffer, 8, kept); }, "Reading '"},
        {"write", [&](SerialPort& p) { p.writeFrame(request, sizeof request); }, "Writing '"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.operation);
        Pty pty;
        SerialPort port;
        ASSERT_EQ(port.open(Serial(pty.path())), PortOpenResult::Ok);
        // An idle line reads as empty too; it must not pass for a lost one.
        EXPECT_EQ(port.queuedByteCount(), 0u);
        port.readQueued(buffer, 8, kept);
        EXPECT_FALSE(port.lost());
        EXPECT_EQ(port.status().text, "");

        pty.closeMaster();
        row.meetLoss(port);
        EXPECT_TRUE(port.lost());
        EXPECT_EQ(port.status().text.rfind(row.reasonStart + pty.path() + "': ", 0), 0u)
            << port.status().text;
        // A lost port gathers nothing, so the dialog's run fails as before.
        EXPECT_EQ(port.queuedByteCount(), 0u);
        kept = 99;
        EXPECT_FALSE(port.readQueued(buffer, 8, kept));
        EXPECT_EQ(kept, 0u);
        port.close();
        EXPECT_TRUE(port.lost()) << "the reason must outlive the close";

        Pty next;
        ASSERT_EQ(port.open(Serial(next.path())), PortOpenResult::Ok);
        EXPECT_FALSE(port.lost());
    }
}

} // namespace
} // namespace korvanel
