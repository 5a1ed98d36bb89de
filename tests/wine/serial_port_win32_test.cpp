// The Win32 serial port against real COM ports: under wine64, COM ports
// that are symlinks to the two ends of a socat pseudo-terminal pair, so
// what one port writes the other reads. tests/wine/run_wine_tests.py sets
// the pairs up and names them in the environment:
//   KORVANEL_TEST_PORT_A, KORVANEL_TEST_PORT_B   linked to each other
//   KORVANEL_TEST_PORT_HIGH                      a port numbered 10 or above
//   KORVANEL_TEST_PORT_MISSING                   a name with no device
//   KORVANEL_TEST_PORT_VANISHING                 a port whose far end goes
//                                                away once it has taken one
//                                                byte, as an adapter pulled out
// The ports are also registered with Wine's mount manager (as a Windows
// port driver would register them), so listing finds them.
#include "line_dcb.h"
#include "serial_port.h"
#include "serial_port_win32_calls.h"
#include "texts.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace korvanel {
namespace {

PortAddress Serial(const std::string& name)
{
    return {PortScheme::Serial, name, {}, 0};
}


std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The ports are set up by the Wine test script; without them there is
// nothing to test against: skipped when the program is run by hand, failed
// under CI=true, where the script always maps them.
#define REQUIRE_PORT(variable)                                                    \
    do {                                                                          \
        if (Env(variable).empty()) {                                              \
            if (Env("CI") == "true")                                              \
                FAIL() << "no " variable " mapped (run tests/wine/run_wine_tests.py)"; \
            GTEST_SKIP() << "no " variable " mapped (run tests/wine/run_wine_tests.py)"; \
        }                                                                         \
    } while (0)
#define REQUIRE_PORTS() REQUIRE_PORT("KORVANEL_TEST_PORT_A")

// Waits until `port` has `want` bytes queued, at most two seconds.
std::uint32_t WaitForQueued(SerialPort& port, std::uint32_t want)
{
    std::uint32_t queued = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while ((queued = port.queuedByteCount()) < want && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return queued;
}

// Empties `port`'s input queue: what an earlier test left on the line
// must not count for this one.
void Drain(SerialPort& port)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::uint8_t buffer[256];
    std::uint32_t kept = 0;
    while (const std::uint32_t queued = port.queuedByteCount()) {
        if (!port.readQueued(buffer, queued, kept))
            break;
    }
}

const std::vector<std::uint8_t> kRequest = {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C};

struct OpenCase {
    const char* label;
    std::string name;
    PortOpenResult expected;
    const char* messageText;
    bool openAfterwards;
};

TEST(SerialPortWin32, OpenReportsEachOutcomeWithItsMessage)
{
    REQUIRE_PORTS();
    const std::string a = Env("KORVANEL_TEST_PORT_A");
    const OpenCase cases[] = {
        {"plain name", a, PortOpenResult::Ok, "", true},
        {"device namespace name", "\\\\.\\" + a, PortOpenResult::Ok, "", true},
        {"port 10 or above", Env("KORVANEL_TEST_PORT_HIGH"), PortOpenResult::Ok, "", true},
        {"no such port", Env("KORVANEL_TEST_PORT_MISSING"), PortOpenResult::OpenFailed,
         "COM Open Fail", false},
        {"empty name", "", PortOpenResult::OpenFailed, "COM Open Fail", false},
        {"a device with no line settings", "NUL", PortOpenResult::SettingFailed,
         "COM Setting Fail!!", true},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.label);
        SerialPort port;
        const PortOpenResult result = port.open(Serial(c.name));
        EXPECT_EQ(result, c.expected) << port.status().text;
        EXPECT_STREQ(PortOpenFailureText(result), c.messageText);
        EXPECT_EQ(port.isOpen(), c.openAfterwards);
        if (result != PortOpenResult::Ok) {
            EXPECT_NE(port.status().text, "");
        }
        port.close();
        EXPECT_FALSE(port.isOpen());
    }
}

TEST(SerialPortWin32, OpenChangesOnlyTheSixLineSettingsAndCloseRestoresThem)
{
    REQUIRE_PORTS();
    const std::string path = SerialPort::DevicePathFor(Env("KORVANEL_TEST_PORT_A"));
    auto openRaw = [&] {
        return ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    };
    // Leave the line at 19200 7E2 with other characters for XON/XOFF, so the
    // open has something to change and something to keep.
    HANDLE h = openRaw();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB before{};
    before.DCBlength = sizeof before;
    ASSERT_TRUE(::GetCommState(h, &before));
    before.BaudRate = CBR_19200;
    before.ByteSize = 7;
    before.Parity = EVENPARITY;
    before.StopBits = TWOSTOPBITS;
    before.XonChar = 0x21;
    before.XoffChar = 0x22;
    ASSERT_TRUE(::SetCommState(h, &before));
    ASSERT_TRUE(::GetCommState(h, &before));
    ::CloseHandle(h);

    // Wine lets a second handle read the line while the port holds it.
    SerialPort port;
    ASSERT_EQ(port.open(Serial(Env("KORVANEL_TEST_PORT_A"))), PortOpenResult::Ok);
    h = openRaw();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB after{};
    after.DCBlength = sizeof after;
    ASSERT_TRUE(::GetCommState(h, &after));
    ::CloseHandle(h);
    port.close();
    h = openRaw();
    DCB restored = after;
    ASSERT_TRUE(::GetCommState(h, &restored));
    ::CloseHandle(h);
    EXPECT_EQ(std::vector<DWORD>({restored.BaudRate, restored.ByteSize, restored.Parity, restored.StopBits}),
              std::vector<DWORD>({before.BaudRate, before.ByteSize, before.Parity, before.StopBits}));
    EXPECT_EQ(after.BaudRate, DWORD{CBR_9600});
    EXPECT_EQ(after.ByteSize, 8);
    EXPECT_EQ(after.Parity, NOPARITY);
    EXPECT_EQ(after.StopBits, ONESTOPBIT);
    EXPECT_EQ(after.fBinary, 1u);
    EXPECT_EQ(after.fParity, 0u);
    EXPECT_EQ(after.XonChar, before.XonChar);
    EXPECT_EQ(after.XoffChar, before.XoffChar);
    EXPECT_EQ(after.fOutxCtsFlow, before.fOutxCtsFlow);
    EXPECT_EQ(after.fOutX, before.fOutX);
    EXPECT_EQ(after.fInX, before.fInX);
}

TEST(LineDcb, EveryRateParityAndStopBitsBuildTheirDcb)
{
    using Parity = LineSettings::Parity;
    const DWORD rates[] = {CBR_1200, CBR_2400, CBR_4800, CBR_9600, CBR_19200, CBR_38400, CBR_57600, CBR_115200};
    const struct {
        Parity parity;
        BYTE dcbParity;
        DWORD checked;
    } parities[] = {{Parity::None, NOPARITY, 0}, {Parity::Even, EVENPARITY, 1}, {Parity::Odd, ODDPARITY, 1}};
    const struct {
        std::uint8_t bits;
        BYTE dcbStopBits;
    } stops[] = {{1, ONESTOPBIT}, {2, TWOSTOPBITS}};
    ASSERT_EQ(sizeof rates / sizeof rates[0], sizeof STANDARD_BAUD_RATES / sizeof STANDARD_BAUD_RATES[0]);
    for (std::size_t r = 0; r < sizeof rates / sizeof rates[0]; ++r) {
        for (const auto& parity : parities) {
            for (const auto& stop : stops) {
                const LineSettings line{STANDARD_BAUD_RATES[r], parity.parity, stop.bits};
                SCOPED_TRACE(line.text());
                // A block unlike every row, with flow control to keep.
                DCB dcb{};
                dcb.BaudRate = CBR_300;
                dcb.ByteSize = 7;
                dcb.Parity = MARKPARITY;
                dcb.StopBits = ONE5STOPBITS;
                dcb.fOutxCtsFlow = 1;
                dcb.XonChar = 0x21;
                ApplyLineSettings(dcb, line);
                EXPECT_EQ(dcb.BaudRate, rates[r]);
                EXPECT_EQ(dcb.ByteSize, 8);
                EXPECT_EQ(dcb.Parity, parity.dcbParity);
                EXPECT_EQ(dcb.fParity, parity.checked);
                EXPECT_EQ(dcb.StopBits, stop.dcbStopBits);
                EXPECT_EQ(dcb.fBinary, 1u);
                EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
                EXPECT_EQ(dcb.XonChar, 0x21);
            }
        }
    }
}

TEST(SerialPortWin32, TheRequestArrivesOnThePeerByteForByte)
{
    REQUIRE_PORTS();
    SerialPort sender;
    SerialPort peer;
    ASSERT_EQ(sender.open(Serial(Env("KORVANEL_TEST_PORT_A"))), PortOpenResult::Ok);
    ASSERT_EQ(peer.open(Serial(Env("KORVANEL_TEST_PORT_B"))), PortOpenResult::Ok);
    Drain(peer);

    // Three ticks' worth, as a run re-sends: each must arrive whole.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        sender.prepareWriteEvent();
        sender.writeFrame(kRequest.data(), static_cast<std::uint32_t>(kRequest.size()));
        ASSERT_EQ(WaitForQueued(peer, 8), 8u);
        std::uint8_t buffer[256] = {};
        std::uint32_t kept = 0;
        ASSERT_TRUE(peer.readQueued(buffer, 8, kept));
        EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + kept), kRequest);
        EXPECT_EQ(peer.queuedByteCount(), 0u);
    }
}

TEST(SerialPortWin32, MoreThan256QueuedBytesAreDrainedKeepingTheFirst256)
{
    REQUIRE_PORTS();
    SerialPort sender;
    SerialPort peer;
    ASSERT_EQ(sender.open(Serial(Env("KORVANEL_TEST_PORT_A"))), PortOpenResult::Ok);
    ASSERT_EQ(peer.open(Serial(Env("KORVANEL_TEST_PORT_B"))), PortOpenResult::Ok);
    Drain(peer);

    std::vector<std::uint8_t> line(400);
    for (std::size_t i = 0; i < line.size(); ++i)
        line[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (std::size_t sent = 0; sent < line.size(); sent += 100) {
        sender.prepareWriteEvent();
        sender.writeFrame(line.data() + sent, 100);
    }
    ASSERT_EQ(WaitForQueued(peer, 400), 400u);

    // A guard after the caller's 256 bytes shows any overflow.
    std::vector<std::uint8_t> buffer(256 + 64, 0xEE);
    std::uint32_t kept = 0;
    ASSERT_TRUE(peer.readQueued(buffer.data(), 400, kept));
    EXPECT_EQ(kept, 256u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 256),
              std::vector<std::uint8_t>(line.begin(), line.begin() + 256));
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin() + 256, buffer.end()),
              std::vector<std::uint8_t>(64, 0xEE));
    EXPECT_EQ(peer.queuedByteCount(), 0u);
}

TEST(SerialPortWin32, AClosedPortGathersNothingAndSendsNothing)
{
    REQUIRE_PORTS();
    SerialPort port;
    SerialPort peer;
    ASSERT_EQ(peer.open(Serial(Env("KORVANEL_TEST_PORT_B"))), PortOpenResult::Ok);
    Drain(peer);
    ASSERT_EQ(port.open(Serial(Env("KORVANEL_TEST_PORT_A"))), PortOpenResult::Ok);
    port.close();
    port.close();  // a second close does nothing

    EXPECT_EQ(port.queuedByteCount(), 0u);
    std::uint8_t buffer[256] = {};
    std::uint32_t kept = 99;
    EXPECT_FALSE(port.readQueued(buffer, 8, kept));
    EXPECT_EQ(kept, 0u);
    port.prepareWriteEvent();
    port.writeFrame(kRequest.data(), 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(peer.queuedByteCount(), 0u);

    // And it opens again, events and all.
    ASSERT_EQ(port.open(Serial(Env("KORVANEL_TEST_PORT_A"))), PortOpenResult::Ok);
    port.prepareWriteEvent();
    port.writeFrame(kRequest.data(), 8);
    EXPECT_EQ(WaitForQueued(peer, 8), 8u);
}

TEST(SerialPortWin32, AVanishedDeviceIsReportedAndGathersNothing)
{
    REQUIRE_PORT("KORVANEL_TEST_PORT_VANISHING");
    const std::string name = Env("KORVANEL_TEST_PORT_VANISHING");
    SerialPort port;
    ASSERT_EQ(port.open(Serial(name)), PortOpenResult::Ok) << port.status().text;
    EXPECT_EQ(port.queuedByteCount(), 0u);
    EXPECT_FALSE(port.lost()) << "an idle line is not a lost one";

    port.prepareWriteEvent();
    port.writeFrame(kRequest.data(), static_cast<std::uint32_t>(kRequest.size()));
    // Ticks as a run makes them, 20 ms apart, until the loss shows; the far
    // end needs a moment to go.
    std::uint8_t buffer[256] = {};
    std::uint32_t kept = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(5);
    while (!port.lost() && std::chrono::steady_clock::now() < deadline) {
        port.readQueued(buffer, port.queuedByteCount(), kept);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("loss seen after %lld ms: %s\n", static_cast<long long>(ms.count()),
                port.status().text.c_str());
    ASSERT_TRUE(port.lost());
    EXPECT_NE(port.status().text.find("'" + SerialPort::DevicePathFor(name) + "': "), std::string::npos)
        << port.status().text;
    // A lost port gathers nothing, so the dialog's run fails as before.
    EXPECT_EQ(port.queuedByteCount(), 0u);
    kept = 99;
    EXPECT_FALSE(port.readQueued(buffer, 8, kept));
    EXPECT_EQ(kept, 0u);
}

// The next read ([0]) or write ([1]) fails at once with this error.
DWORD g_fail[2] = {};
BOOL WINAPI FailRead(HANDLE h, LPVOID to, DWORD n, LPDWORD got, LPOVERLAPPED ov)
{
    const DWORD err = std::exchange(g_fail[0], 0);
    return err ? (::SetLastError(err), FALSE) : ::ReadFile(h, to, n, got, ov);
}
BOOL WINAPI FailWrite(HANDLE h, LPCVOID from, DWORD n, LPDWORD put, LPOVERLAPPED ov)
{
    const DWORD err = std::exchange(g_fail[1], 0);
    return err ? (::SetLastError(err), FALSE) : ::WriteFile(h, from, n, put, ov);
}

// A driver set to abort on error ends requests after a line error: cleared
// and made again, the frame still goes and comes. Only an error that means
// the device is gone is a loss.
TEST(SerialPortWin32, OnlyADeviceGoneErrorIsALoss)
{
    REQUIRE_PORTS();
    TheSerialCommCalls() = {FailRead, FailWrite};
    const struct { int call; DWORD error; bool lost; } rows[] = {
        {0, ERROR_OPERATION_ABORTED, false}, {1, ERROR_OPERATION_ABORTED, false}, {0, ERROR_DEVICE_REMOVED, true}};
    for (const auto& row : rows) {
        SerialPort sender, peer;
        ASSERT_EQ(sender.open(Serial(Env("KORVANEL_TEST_PORT_A"))), PortOpenResult::Ok);
        ASSERT_EQ(peer.open(Serial(Env("KORVANEL_TEST_PORT_B"))), PortOpenResult::Ok);
        Drain(peer);
        g_fail[row.call] = row.error;
        sender.writeFrame(kRequest.data(), 8);
        std::uint8_t buffer[256];
        std::uint32_t kept = 0;
        const bool read = WaitForQueued(peer, 8) == 8u && peer.readQueued(buffer, 8, kept) && kept == 8;
        EXPECT_EQ(sender.lost() || peer.lost(), row.lost) << row.call << ' ' << row.error;
        EXPECT_EQ(read, !row.lost) << row.call << ' ' << row.error;
    }
    TheSerialCommCalls() = {};
}

// Returns as soon as input is queued, and after about the time-out when
// none comes.
TEST(SerialPortWin32, WaitForInputReturnsOnInputOrAfterTheTimeOut)
{
    REQUIRE_PORTS();
    SerialPort sender, peer;
    ASSERT_EQ(sender.open(Serial(Env("KORVANEL_TEST_PORT_A"))), PortOpenResult::Ok);
    ASSERT_EQ(peer.open(Serial(Env("KORVANEL_TEST_PORT_B"))), PortOpenResult::Ok);
    const struct { int sendAfterMs, timeoutMs; long long minMs, maxMs; } rows[] = {
        {150, 3000, 100, 1500}, {-1, 400, 350, 2000}};
    for (const auto& row : rows) {
        Drain(peer);
        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(row.sendAfterMs));
            if (row.sendAfterMs >= 0)
                sender.writeFrame(kRequest.data(), 8);
        });
        const auto start = std::chrono::steady_clock::now();
        const bool input = peer.waitForInput(std::chrono::milliseconds(row.timeoutMs));
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start).count();
        writer.join();
        std::printf("waitForInput(%d ms): %s after %lld ms\n", row.timeoutMs, input ? "input" : "none", ms);
        EXPECT_EQ(input, row.sendAfterMs >= 0);
        EXPECT_GE(ms, row.minMs);
        EXPECT_LE(ms, row.maxMs);
    }
}

TEST(SerialPortWin32, PortNamesGetTheDeviceNamespacePrefix)
{
    const struct {
        const char* typed;
        const char* opened;
    } cases[] = {
        {"COM1", "\\\\.\\COM1"},
        {"COM10", "\\\\.\\COM10"},
        {"COM255", "\\\\.\\COM255"},
        {"\\\\.\\COM3", "\\\\.\\COM3"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SerialPort::DevicePathFor(c.typed), c.opened) << c.typed;
}

TEST(SerialPortWin32, ListedPortsIncludeTheMappedOnesInNumberOrder)
{
    REQUIRE_PORTS();
    const std::vector<std::string> ports = SerialPort::ListPorts();
    auto position = [&](const std::string& name) {
        for (std::size_t i = 0; i < ports.size(); ++i)
            if (ports[i] == name)
                return static_cast<int>(i);
        return -1;
    };
    const int a = position(Env("KORVANEL_TEST_PORT_A"));
    const int high = position(Env("KORVANEL_TEST_PORT_HIGH"));
    EXPECT_GE(a, 0);
    EXPECT_GT(high, a);
    EXPECT_EQ(position(Env("KORVANEL_TEST_PORT_MISSING")), -1);
}

} // namespace
} // namespace korvanel
