// Network port names, the MBAP codec, and the Telnet side of rfc2217://
// against a scripted server on the loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "mbap.h"
#include "net_port.h"
#include "clear_run.h"
#include "port_name.h"

namespace korvanel {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(PortName, NetworkNamesAndWhatIsWrongWithThem)
{
    struct Row {
        const char* name;
        NameUse use;
        // The peer text of a name accepted, or what the refusal says.
        const char* peerOrError;
        PortScheme scheme;
    };
    const Row rows[] = {
        {"tcp://127.0.0.1:4001", NameUse::Connect, "127.0.0.1:4001", PortScheme::Tcp},
        {"RFC2217://converter-7.local:2217", NameUse::Connect, "converter-7.local:2217", PortScheme::Rfc2217},
        {"modbus-tcp://[::1]", NameUse::Connect, "[::1]:502", PortScheme::ModbusTcp},
        {"modbus-tcp://gw:1502", NameUse::Connect, "gw:1502", PortScheme::ModbusTcp},
        {"tcp://:0", NameUse::Listen, "127.0.0.1:0", PortScheme::Tcp},
        {"tcp://127.0.0.1", NameUse::Connect, "no port (tcp://HOST:PORT; an IPv6 address in brackets)", PortScheme::Serial},
        {"tcp://:4001", NameUse::Connect, "no host (tcp://HOST:PORT; an IPv6 address in brackets)", PortScheme::Serial},
        {"tcp://h:0", NameUse::Connect, "port '0' is not a number from 1 to 65535", PortScheme::Serial},
        {"tcp://h:65536", NameUse::Connect, "port '65536' is not a number from 1 to 65535", PortScheme::Serial},
        {"tcp://h:12ab", NameUse::Connect, "port '12ab' is not a number from 1 to 65535", PortScheme::Serial},
        {"modbus-tcp://::1:502", NameUse::Connect, "an IPv6 address needs brackets", PortScheme::Serial},
        {"modbus-tcp://[::1:502", NameUse::Connect, "no ']' after the IPv6 address", PortScheme::Serial},
        {"modbus-tcp://[::1]x", NameUse::Connect, "'x' after the address", PortScheme::Serial},
        {"tcp://h/x:1", NameUse::Connect, "'h/x' is not a host name or address", PortScheme::Serial},
        {"tcp://[fe80::1%eth0]:7", NameUse::Connect, "[fe80::1%eth0]:7", PortScheme::Tcp},
        {"tcp://[fe80::1%2]:7", NameUse::Connect, "[fe80::1%2]:7", PortScheme::Tcp},
        {"tcp://[fe80::1%e/0]:7", NameUse::Connect, "'fe80::1%e/0' is not an IPv6 address", PortScheme::Serial},
        {"udp://h:1", NameUse::Connect,
         "unknown scheme 'udp' (tcp://HOST:PORT, rfc2217://HOST:PORT or modbus-tcp://HOST[:PORT])",
         PortScheme::Serial},
    };
    for (const Row& row : rows) {
        NetPortName parsed;
        std::string error;
        const bool ok = ParseNetPortName(row.name, parsed, error, row.use);
        EXPECT_TRUE(IsNetworkPortName(row.name)) << row.name;
        if (ok) {
            EXPECT_EQ(parsed.peer(), row.peerOrError) << row.name;
            EXPECT_EQ(parsed.scheme, row.scheme) << row.name;
        } else {
            EXPECT_EQ(error.find(std::string("port '") + row.name + "': "), 0u) << error;
            EXPECT_NE(error.find(row.peerOrError), std::string::npos) << error;
        }
    }
    for (const char* serial : {"COM3", "/dev/ttyUSB0", "ttyS0", "/tmp/a://b"})
        EXPECT_FALSE(IsNetworkPortName(serial)) << serial;
}

TEST(Mbap, RequestsOutAndResponsesBack)
{
    // Write 0 to 0x004A of inverter 1, and the read answer of inverter 17.
    const Bytes write = {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C};
    EXPECT_EQ(MbapFromRtu(0x0102, write.data(), write.size()),
              (Bytes{0x01, 0x02, 0x00, 0x00, 0x00, 0x06, 0x01, 0x06, 0x00, 0x4A, 0x00, 0x00}));
    EXPECT_TRUE(MbapFromRtu(1, write.data(), 3).empty());

    const Bytes stream = {0x00, 0x07, 0x00, 0x00, 0x00, 0x05, 0x11, 0x03, 0x02, 0x12, 0x34,
                          0x00, 0x08, 0x00, 0x00, 0x00, 0x02, 0x11};
    MbapReader reader;
    MbapFrame frame;
    // One byte at a time, as the slowest TCP would hand them over.
    std::vector<MbapFrame> frames;
    for (const std::uint8_t b : stream) {
        reader.feed(&b, 1);
        while (reader.next(frame) == MbapReader::Result::Frame)
            frames.push_back(frame);
    }
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].transactionId, 7);
    EXPECT_EQ(RtuFromMbap(frames[0]), (Bytes{0x11, 0x03, 0x02, 0x12, 0x34, 0x74, 0xF0}));
    EXPECT_EQ(reader.next(frame), MbapReader::Result::NeedMore);
    const std::uint8_t last = 0x83;
    reader.feed(&last, 1);
    ASSERT_EQ(reader.next(frame), MbapReader::Result::Frame);
    EXPECT_EQ(frame.pdu, Bytes{0x83});

    struct Row {
        Bytes header;
        const char* error;
    };
    const Row malformed[] = {
        {{0, 1, 0, 1, 0, 6, 1}, "protocol id is not 0 (not Modbus)"},
        {{0, 1, 0, 0, 0, 1, 1}, "length field out of range 2..254"},
        {{0, 1, 0, 0, 0, 255, 1}, "length field out of range 2..254"},
        {{0, 1, 0, 0, 1, 0, 1}, "length field out of range 2..254"},
    };
    for (const Row& row : malformed) {
        MbapReader r;
        r.feed(row.header.data(), row.header.size());
        EXPECT_EQ(r.next(frame), MbapReader::Result::Malformed);
        EXPECT_STREQ(r.error(), row.error);
    }
}

// A server that accepts one connection, sends `script`, then runs `then`
// on it (by default: keeps what the client sent until the client closes).
class ScriptedServer {
public:
    using Then = std::function<void(int fd, Bytes& received)>;
    static void KeepAll(int c, Bytes& received)
    {
        std::uint8_t b[256];
        ssize_t n;
        while ((n = ::recv(c, b, sizeof b, 0)) > 0)
            received.insert(received.end(), b, b + n);
    }

    explicit ScriptedServer(Bytes script, Then then = KeepAll)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, script, then] {
            const int c = ::accept(listener_, nullptr, nullptr);
            (void)!::send(c, script.data(), script.size(), MSG_NOSIGNAL);
            then(c, received_);
            ::close(c);
        });
    }
    ~ScriptedServer()
    {
        ::close(listener_);
        if (thread_.joinable())
            thread_.join();
    }
    // What the client sent, once it has closed.
    Bytes received()
    {
        thread_.join();
        return received_;
    }
    std::string peer() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string name(const char* scheme = "rfc2217") const { return std::string(scheme) + "://" + peer(); }

private:
    int listener_;
    unsigned port_ = 0;
    std::thread thread_;
    Bytes received_;
};

bool Contains(const Bytes& haystack, const Bytes& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

TEST(Rfc2217Port, TelnetIsStrippedAndDataEscapedBothWays)
{
    // The option accepted, the speed acknowledged, a line-state
    // notification and a modem-state one (every line up: FF, doubled) among
    // data bytes 01 FF 02 03.
    ScriptedServer server({0xFF, 0xFD, 44, 0xFF, 0xFB, 1, 0xFF, 0xFA, 44, 101, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0,
                           0x01, 0xFF, 0xFF, 0x02, 0xFF, 0xFA, 44, 106, 0x60, 0xFF, 0xF0,
                           0xFF, 0xFA, 44, 107, 0xFF, 0xFF, 0xFF, 0xF0, 0x03});
    NetPort port;
    ASSERT_EQ(port.open(server.name()), PortOpenResult::Ok) << port.lastSystemError();
    Bytes queued;
    while (queued.size() < 4 && port.waitForInput(std::chrono::seconds(5))) {
        std::uint8_t buffer[256];
        std::uint32_t kept = 0;
        ASSERT_TRUE(port.readQueued(buffer, port.queuedByteCount(), kept));
        queued.insert(queued.end(), buffer, buffer + kept);
    }
    EXPECT_EQ(queued, (Bytes{0x01, 0xFF, 0x02, 0x03}));
    const Bytes frame = {0xFF, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xB5, 0xFF};
    port.writeFrame(frame.data(), static_cast<std::uint32_t>(frame.size()));
    port.close();
    const Bytes sent = server.received();
    EXPECT_TRUE(Contains(sent, {0xFF, 0xFB, 44}));
    // 9600 baud, 8 data bits, no parity, one stop bit, no flow control.
    EXPECT_TRUE(Contains(sent, {0xFF, 0xFA, 44, 1, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0}));
    EXPECT_TRUE(Contains(sent, {0xFF, 0xFA, 44, 2, 8, 0xFF, 0xF0, 0xFF, 0xFA, 44, 3, 1, 0xFF, 0xF0,
                                0xFF, 0xFA, 44, 4, 1, 0xFF, 0xF0, 0xFF, 0xFA, 44, 5, 1, 0xFF, 0xF0}));
    EXPECT_TRUE(Contains(sent, {0xFF, 0xFA, 44, 12, 3, 0xFF, 0xF0}));
    EXPECT_TRUE(Contains(sent, {0xFF, 0xFF, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xB5, 0xFF, 0xFF}));
}

TEST(Rfc2217Port, AServerThatRefusesComPortControlFailsTheOpen)
{
    ScriptedServer server({0xFF, 0xFE, 44});
    NetPort port;
    EXPECT_EQ(port.open(server.name()), PortOpenResult::OpenFailed);
    EXPECT_EQ(port.lastSystemError(), "Connecting to " + server.peer() + ": the server refuses COM port control");
    EXPECT_FALSE(port.isOpen());
    server.received();
}

} // namespace
} // namespace korvanel

namespace korvanel {
namespace {

// The converter's answer to one of the four settings (the command plus 100).
Bytes Confirm(std::uint8_t command, Bytes value)
{
    value.insert(value.begin(), {0xFF, 0xFA, 44, static_cast<std::uint8_t>(100 + command)});
    value.push_back(0xFF);
    value.push_back(0xF0);
    return value;
}
Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}
const Bytes ACCEPT = {0xFF, 0xFD, 44};
const Bytes CONFIRM_9600_8N1 = Join({Confirm(1, {0, 0, 0x25, 0x80}), Confirm(2, {8}), Confirm(3, {1}), Confirm(4, {1})});

TEST(Rfc2217Port, OnlyTheOptionsItNeedsAreAccepted)
{
    struct Row {
        Bytes offer;
        Bytes answer; // empty: none beyond the client's own offer
        Bytes never;
    };
    const Row rows[] = {
        {{0xFF, 0xFB, 1}, {0xFF, 0xFE, 1}, {0xFF, 0xFD, 1}}, // WILL ECHO: DONT, never DO
        {{0xFF, 0xFD, 1}, {0xFF, 0xFC, 1}, {0xFF, 0xFB, 1}}, // DO ECHO: WONT
        {{0xFF, 0xFB, 0}, {}, {0xFF, 0xFE, 0}},              // binary, already asked for
        {{0xFF, 0xFD, 0}, {}, {0xFF, 0xFC, 0}},
        {{0xFF, 0xFB, 3}, {}, {0xFF, 0xFE, 3}}, // suppress go-ahead
        {{0xFF, 0xFD, 3}, {}, {0xFF, 0xFC, 3}},
        {{0xFF, 0xFB, 44}, {0xFF, 0xFD, 44}, {0xFF, 0xFE, 44}},
        {{0xFF, 0xFB, 24}, {0xFF, 0xFE, 24}, {0xFF, 0xFD, 24}}, // terminal type: unknown to us
        {{0xFF, 0xFD, 24}, {0xFF, 0xFC, 24}, {0xFF, 0xFB, 24}},
    };
    for (const Row& row : rows) {
        ScriptedServer server(Join({ACCEPT, row.offer, row.offer, CONFIRM_9600_8N1}));
        NetPort port;
        ASSERT_EQ(port.open(server.name()), PortOpenResult::Ok) << port.lastSystemError();
        port.close();
        const Bytes sent = server.received();
        const Bytes rest(sent.begin() + 15, sent.end()); // after the client's own offer
        const auto count = [&](const Bytes& what) {
            int n = 0;
            for (auto at = rest.begin(); (at = std::search(at, rest.end(), what.begin(), what.end())) != rest.end(); ++at)
                ++n;
            return n;
        };
        // Offered twice, answered once: two sides that disagree cannot loop.
        if (!row.answer.empty()) {
            EXPECT_EQ(count(row.answer), 1) << int(row.offer[1]) << " " << int(row.offer[2]);
        }
        EXPECT_EQ(count(row.never), 0) << int(row.offer[1]) << " " << int(row.offer[2]);
        EXPECT_EQ(count({0xFF, 0xFB}) + count({0xFF, 0xFD}) + count({0xFF, 0xFC}) + count({0xFF, 0xFE}),
                  row.answer.empty() ? 0 : 1);
    }
}

TEST(Rfc2217Port, TheSettingsTheConverterConfirmsAreInForce)
{
    struct Row {
        LineSettings asked;
        Bytes confirmations;
        const char* inForce;
        std::vector<std::string> notes; // "P" stands for the peer
    };
    const LineSettings even19200{19200, LineSettings::Parity::Even, 1};
    const Row rows[] = {
        {even19200, Join({Confirm(1, {0, 0, 0x4B, 0}), Confirm(2, {8}), Confirm(3, {3}), Confirm(4, {1})}), "19200 8E1", {}},
        {even19200, CONFIRM_9600_8N1, "9600 8N1", {"the converter at P keeps 9600 8N1, not 19200 8E1 as asked"}},
        {{9600, LineSettings::Parity::None, 2}, Join({Confirm(4, {1}), Confirm(3, {1}), Confirm(2, {7}), Confirm(1, {0, 0, 0x25, 0x80})}),
         "9600 8N1", {"the converter at P keeps 9600 7N1, not 9600 8N2 as asked"}},
        {even19200, {}, "19200 8E1", {"the converter at P did not confirm the line settings within 1000 ms; 19200 8E1 is assumed"}},
        {even19200, Confirm(1, {0, 0, 0x25, 0x80}), "9600 8E1",
         {"the converter at P keeps 9600 8E1, not 19200 8E1 as asked",
          "the converter at P did not confirm all of the line settings within 1000 ms; 9600 8E1 is assumed"}},
    };
    for (const Row& row : rows) {
        ScriptedServer server(Join({ACCEPT, row.confirmations}));
        NetPort port;
        port.setLineSettings(row.asked);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(port.open(server.name()), PortOpenResult::Ok) << port.lastSystemError();
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::printf("%s confirmed as %s: open took %.0f ms\n", row.asked.text().c_str(), row.inForce, ms);
        EXPECT_EQ(port.lineSettings().text(), row.inForce);
        std::vector<std::string> expected;
        for (std::string note : row.notes)
            expected.push_back(note.replace(note.find(" P "), 3, " " + server.peer() + " "));
        EXPECT_EQ(port.takeNotes(), expected);
        EXPECT_TRUE(port.takeNotes().empty());
        // Confirmed at once: no waiting; unconfirmed: the wait's bound.
        EXPECT_LT(ms, row.notes.size() == 2 || row.confirmations.empty() ? 2000 : 500);
        port.close();
        server.received();
    }
}

// Sends zeros as fast as the client takes them until it goes.
void Flood(int c, Bytes&)
{
    const Bytes zeros(65536, 0);
    while (::send(c, zeros.data(), zeros.size(), MSG_NOSIGNAL) > 0) {
    }
}

TEST(NetPort, AFloodIsBoundedAndCounted)
{
    for (const char* scheme : {"tcp", "rfc2217"}) {
        // rfc2217: zeros right after the option is accepted, so no
        // confirmation ever comes through.
        ScriptedServer server(ACCEPT, Flood);
        NetPort port;
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(port.open(server.name(scheme)), PortOpenResult::Ok) << port.lastSystemError();
        const double openMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        start = std::chrono::steady_clock::now();
        std::uint32_t most = 0;
        double slowest = 0;
        for (int i = 0; i < 200; ++i) {
            const auto before = std::chrono::steady_clock::now();
            most = std::max(most, port.queuedByteCount());
            slowest = std::max(slowest, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::printf("%s: open %.0f ms, most queued %u, slowest look %.2f ms\n", scheme, openMs, most, slowest);
        EXPECT_LT(openMs, 3500);
        EXPECT_EQ(most, REPLY_WINDOW_LIMIT);
        EXPECT_LT(slowest, 50);
        const std::vector<std::string> notes = port.takeNotes();
        ASSERT_FALSE(notes.empty());
        EXPECT_NE(notes.back().find(" bytes dropped, the oldest first"), std::string::npos) << notes.back();
        port.close();
    }
}

void CloseAtOnce(int, Bytes&) {}
void Reset(int c, Bytes&)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const linger hard{1, 0};
    ::setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

TEST(NetPort, WhatCameBeforeTheCloseStaysReadable)
{
    const Bytes reply = {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C};
    struct Row {
        Bytes script;
        ScriptedServer::Then then;
        const char* reason;
    };
    const Row rows[] = {
        {reply, CloseAtOnce, "the connection was closed by the other side"},
        {{}, CloseAtOnce, "the connection was closed by the other side (the converter may be serving another client)"},
        {{}, Reset, "Connection reset by peer (the converter may be serving another client)"},
    };
    for (const Row& row : rows) {
        ScriptedServer server(row.script, row.then);
        NetPort port;
        ASSERT_EQ(port.open(server.name("tcp")), PortOpenResult::Ok) << port.lastSystemError();
        server.received();
        EXPECT_TRUE(port.waitForInput(std::chrono::seconds(2)));
        EXPECT_EQ(port.queuedByteCount(), row.script.size());
        EXPECT_TRUE(port.lost());
        EXPECT_EQ(port.lostReason(), "Reading from " + server.peer() + ": " + row.reason);
        std::uint8_t buffer[64];
        std::uint32_t kept = 0;
        EXPECT_EQ(port.readQueued(buffer, port.queuedByteCount(), kept), !row.script.empty());
        EXPECT_EQ(Bytes(buffer, buffer + kept), row.script);
        EXPECT_EQ(port.queuedByteCount(), 0u);
        EXPECT_TRUE(port.waitForInput(std::chrono::milliseconds(1)));
    }
}

// A gateway that answers each request with `answer(request)` (MBAP
// frames, or nothing), holding up to `lag` requests before it answers.
ScriptedServer::Then Gateway(std::function<Bytes(const Bytes&)> answer, std::size_t lag = 0)
{
    return [answer, lag](int c, Bytes&) {
        std::vector<Bytes> held;
        std::uint8_t b[260];
        ssize_t n;
        while ((n = ::recv(c, b, sizeof b, 0)) > 0) {
            held.emplace_back(b, b + n); // each request comes in one segment
            if (held.size() > lag) {
                const Bytes out = answer(held.front());
                held.erase(held.begin());
                (void)!::send(c, out.data(), out.size(), MSG_NOSIGNAL);
            }
        }
    };
}

TEST(ModbusTcpPort, AnswersAreTakenByTransactionAndUnit)
{
    const Bytes read = {0x01, 0x03, 0x00, 0x4A, 0x00, 0x01, 0xA5, 0xDC};
    const auto answerAs = [](int unitShift) {
        return [unitShift](const Bytes& request) {
            Bytes out(request.begin(), request.begin() + 6);
            out[5] = 5;
            out.insert(out.end(), {static_cast<std::uint8_t>(request[6] + unitShift), 0x03, 0x02, 0x12, 0x34});
            return out;
        };
    };
    struct Row {
        const char* what;
        ScriptedServer::Then gateway;
        Bytes expected; // after the second request
        bool foreignNote;
    };
    const Row rows[] = {
        {"an echo: the request's own RTU copy", Gateway([](const Bytes& r) { return r; }), read, false},
        {"a late answer to the earlier run", Gateway(answerAs(0), 1), {0x01, 0x03, 0x02, 0x12, 0x34, 0xB5, 0x33}, false},
        {"under another unit id", Gateway(answerAs(1)), {}, true},
        {"an id never sent", Gateway([](const Bytes& r) { Bytes o = r; o[0] ^= 0x80; return o; }), {}, false},
    };
    for (const Row& row : rows) {
        ScriptedServer server({}, row.gateway);
        NetPort port;
        ASSERT_EQ(port.open(server.name("modbus-tcp")), PortOpenResult::Ok) << port.lastSystemError();
        EXPECT_FALSE(port.neverEchoes());
        port.beginRun();
        port.writeFrame(read.data(), read.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        port.beginRun();
        port.writeFrame(read.data(), read.size());
        port.waitForInput(std::chrono::milliseconds(300));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::uint8_t buffer[64];
        std::uint32_t kept = 0;
        const std::uint32_t queued = port.queuedByteCount();
        port.readQueued(buffer, std::min<std::uint32_t>(queued, read.size()), kept);
        EXPECT_EQ(Bytes(buffer, buffer + kept), row.expected) << row.what;
        const std::vector<std::string> notes = port.takeNotes();
        EXPECT_EQ(notes.size(), row.foreignNote ? 1u : 0u) << row.what;
        if (row.foreignNote) {
            EXPECT_EQ(notes[0], "the gateway at " + server.peer() +
                                    " answered a request for unit 1 under unit id 2; such answers are not taken as the inverter's");
        }
        port.close();
    }
}

} // namespace
} // namespace korvanel
