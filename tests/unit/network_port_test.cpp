// Network port names, the MBAP codec, and the Telnet side of rfc2217://
// against a scripted server on the loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "clear_run.h"
#include "mbap.h"
#include "net_port.h"
#include "net_port_telnet.h"
#include "port_name.h"

namespace korvanel {
namespace {

PortAddress Address(const std::string& name)
{
    PortAddress address;
    std::string error;
    EXPECT_TRUE(ParsePortAddress(name, address, error)) << error;
    return address;
}

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
        {"tcp://[fe80::1%e/0]:7", NameUse::Connect, "'fe80::1%e/0' is not an IPv6 address", PortScheme::Serial},
        {"udp://h:1", NameUse::Connect,
         "unknown scheme 'udp' (tcp://HOST:PORT, rfc2217://HOST:PORT or modbus-tcp://HOST[:PORT])",
         PortScheme::Serial},
    };
    for (const Row& row : rows) {
        PortAddress parsed;
        std::string error;
        if (ParsePortAddress(row.name, parsed, error, row.use)) {
            EXPECT_EQ(parsed.peer(), row.peerOrError) << row.name;
            EXPECT_EQ(parsed.scheme, row.scheme) << row.name;
        } else {
            EXPECT_EQ(error.find(std::string("port '") + row.name + "': "), 0u) << error;
            EXPECT_NE(error.find(row.peerOrError), std::string::npos) << error;
        }
    }
    for (const char* serial : {"COM3", "/dev/ttyUSB0", "ttyS0", "/tmp/a://b"}) {
        PortAddress parsed;
        std::string error;
        EXPECT_TRUE(ParsePortAddress(serial, parsed, error)) << serial;
        EXPECT_EQ(parsed.scheme, PortScheme::Serial) << serial;
        EXPECT_EQ(parsed.name, serial);
    }
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

// A server that accepts one connection, sends `script`, and keeps what the
// client sent until the client closes, or runs `then` instead.
class ScriptedServer {
public:
    explicit ScriptedServer(Bytes script, std::function<void(int)> then = nullptr)
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
            std::uint8_t b[256];
            ssize_t n;
            if (then)
                then(c);
            else
                while ((n = ::recv(c, b, sizeof b, 0)) > 0)
                    received_.insert(received_.end(), b, b + n);
            ::close(c);
        });
    }
    ~ScriptedServer()
    {
        ::shutdown(listener_, SHUT_RDWR);
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

TEST(TelnetCodec, CommandsSplitAcrossReadsAreCutFromTheData)
{
    struct Row {
        std::vector<Bytes> chunks;
        Bytes data;
        Bytes reply;
        TelnetCodec::ComPortAnswer answer;
    };
    const Row rows[] = {
        {{{0x01, 0xFF}, {0xFF, 0x02}}, {0x01, 0xFF, 0x02}, {}, TelnetCodec::ComPortAnswer::None},
        {{{0x01, 0xFF, 0xFB}, {0x01, 0x02}}, {0x01, 0x02}, {0xFF, 0xFE, 0x01}, TelnetCodec::ComPortAnswer::None},
        {{{0xFF, 0xFD, 44, 0xFF, 0xFD, 44}}, {}, {}, TelnetCodec::ComPortAnswer::Do},
        {{{0xFF, 0xFE, 44, 0x07}}, {0x07}, {0xFF, 0xFC, 44}, TelnetCodec::ComPortAnswer::Dont},
        {{{0xFF, 0xFA, 44, 101, 0, 0}, {0xFF, 0xFF, 0xFF, 0xF0, 0x09}}, {0x09}, {}, TelnetCodec::ComPortAnswer::None},
    };
    for (const Row& row : rows) {
        TelnetCodec codec;
        (void)codec.offer();
        Bytes data, reply;
        std::string error;
        for (const Bytes& chunk : row.chunks)
            EXPECT_TRUE(codec.feed(chunk.data(), chunk.size(), data, reply, error));
        EXPECT_EQ(data, row.data);
        EXPECT_EQ(reply, row.reply);
        EXPECT_EQ(codec.comPortAnswer(), row.answer);
    }
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
    ASSERT_EQ(port.open(Address(server.name())), PortOpenResult::Ok) << port.status().text;
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
    // The server's WILL ECHO is refused.
    EXPECT_TRUE(Contains(sent, {0xFF, 0xFE, 1}));
    EXPECT_TRUE(Contains(sent, {0xFF, 0xFF, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xB5, 0xFF, 0xFF}));
}

TEST(Rfc2217Port, AServerThatRefusesComPortControlFailsTheOpen)
{
    ScriptedServer server({0xFF, 0xFE, 44});
    NetPort port;
    EXPECT_EQ(port.open(Address(server.name())), PortOpenResult::OpenFailed);
    EXPECT_EQ(port.status().text, "Connecting to " + server.peer() + ": the server refuses COM port control");
    EXPECT_FALSE(port.isOpen());
    server.received();
}

// The four line settings confirmed, as a converter at 9600 8N1 does.
const Bytes CONFIRM_9600_8N1 = {0xFF, 0xFA, 44, 101, 0, 0, 0x25, 0x80, 0xFF, 0xF0, 0xFF, 0xFA, 44, 102, 8, 0xFF, 0xF0,
                                0xFF, 0xFA, 44, 103, 1, 0xFF, 0xF0, 0xFF, 0xFA, 44, 104, 1, 0xFF, 0xF0};

TEST(Rfc2217Port, OnlyTheOptionsItNeedsAreAcceptedEachOnce)
{
    // Each offer, made twice, and the client's one answer beyond its own offer (0 0: none).
    const std::uint8_t rows[][4] = {{0xFB, 1, 0xFE, 1}, {0xFD, 1, 0xFC, 1}, {0xFB, 0, 0, 0}, {0xFD, 0, 0, 0}, {0xFB, 3, 0, 0},
                                    {0xFD, 3, 0, 0}, {0xFB, 44, 0xFD, 44}, {0xFB, 24, 0xFE, 24}, {0xFD, 24, 0xFC, 24}};
    Bytes script, expected;
    for (const auto& row : rows) {
        script.insert(script.end(), {0xFF, row[0], row[1], 0xFF, row[0], row[1]});
        expected.insert(expected.end(), {0xFF, row[2], row[3]});
        expected.resize(expected.size() - (row[2] ? 0 : 3));
    }
    script.insert(script.end(), {0xFF, 0xFD, 44}); // last, so all the offers are answered before the settings go
    ScriptedServer server(script);
    NetPort port;
    ASSERT_EQ(port.open(Address(server.name())), PortOpenResult::Ok) << port.status().text;
    port.close();
    const Bytes sent = server.received();
    EXPECT_EQ(Bytes(sent.begin() + 15, sent.begin() + 15 + long(expected.size())), expected); // after its own offer
}

TEST(Rfc2217Port, TheSettingsTheConverterConfirmsAreInForce)
{
    const LineSettings even{19200, LineSettings::Parity::Even, 1}, twoStop{9600, LineSettings::Parity::None, 2};
    const struct {
        LineSettings asked;
        Bytes confirmations;
        const char* inForce;
        const char* note; // after "the converter at PEER "; the 7-bit row has another: not all confirmed
    } rows[] = {
        {LineSettings{}, CONFIRM_9600_8N1, "9600 8N1", nullptr},
        {even, CONFIRM_9600_8N1, "9600 8N1", "keeps 9600 8N1, not 19200 8E1 as asked"},
        {twoStop, {0xFF, 0xFA, 44, 102, 7, 0xFF, 0xF0}, "9600 8N2", "keeps 9600 7N2, not 9600 8N2 as asked"},
        {even, {}, "19200 8E1", "did not confirm the line settings within 1000 ms; 19200 8E1 is assumed"},
    };
    for (const auto& row : rows) {
        Bytes script = {0xFF, 0xFD, 44};
        script.insert(script.end(), row.confirmations.begin(), row.confirmations.end());
        ScriptedServer server(script);
        NetPort port;
        port.setLineSettings(row.asked);
        ASSERT_EQ(port.open(Address(server.name())), PortOpenResult::Ok) << port.status().text;
        EXPECT_EQ(port.lineSettings().text(), row.inForce);
        const std::vector<std::string> notes = port.takeNotes();
        EXPECT_EQ(notes.empty() ? "" : notes[0], row.note ? "the converter at " + server.peer() + " " + row.note : "");
        port.close();
    }
}

TEST(NetPort, AFloodIsBoundedAndWhatCameBeforeACloseStaysReadable)
{
    const auto flood = [](int c) {
        const Bytes zeros(65536, 0);
        while (::send(c, zeros.data(), zeros.size(), MSG_NOSIGNAL) > 0) {
        }
    };
    const auto reset = [](int c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const linger hard{1, 0};
        ::setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    };
    const std::string closed = "the connection was closed by the other side", busy = " (the converter may be serving another client)";
    const struct {
        const char* scheme;
        Bytes script; // rfc2217: the option accepted, then zeros
        std::function<void(int)> then;
        std::string lost; // empty: a flood, never lost
    } rows[] = {
        {"tcp", {}, flood, ""},
        {"rfc2217", {0xFF, 0xFD, 44}, flood, ""},
        {"tcp", {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C}, [](int) {}, closed},
        {"tcp", {'I', 'n', ' ', 'u', 's', 'e', '\r', '\n'}, [](int) {}, closed + busy},
        {"tcp", {}, reset, "Connection reset by peer" + busy},
    };
    for (const auto& row : rows) {
        ScriptedServer server(row.script, row.then);
        NetPort port;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(port.open(Address(server.name(row.scheme))), PortOpenResult::Ok) << port.status().text;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(150)); // a flood fills the socket's buffers
        std::uint32_t most = 0; // a flood never empties the socket: each look takes a bounded share
        for (int i = 0; i < 100; ++i)
            most = std::max(most, port.queuedByteCount());
        std::printf("%s: open %lld ms, at most %u queued\n", row.scheme, static_cast<long long>(ms), most);
        EXPECT_LT(ms, 3500);
        EXPECT_EQ(most, row.lost.empty() ? REPLY_WINDOW_LIMIT : row.script.size());
        EXPECT_EQ(port.status().text, row.lost.empty() ? "" : "Reading from " + server.peer() + ": " + row.lost);
        const std::vector<std::string> notes = port.takeNotes();
        EXPECT_EQ(!notes.empty() && notes.back().find(" bytes dropped, the oldest first") != std::string::npos, row.lost.empty());
        if (row.lost.empty())
            continue;
        // Lost: what was decoded before the close is handed out, then nothing.
        std::uint8_t buffer[64];
        std::uint32_t kept = 0;
        EXPECT_EQ(port.readQueued(buffer, port.queuedByteCount(), kept), !row.script.empty());
        EXPECT_EQ(Bytes(buffer, buffer + kept), row.script);
        EXPECT_TRUE(port.queuedByteCount() == 0 && port.waitForInput(std::chrono::milliseconds(1)));
    }
}

TEST(ModbusTcpPort, AnswersAreTakenByTransactionAndUnit)
{
    const Bytes read = {0x01, 0x03, 0x00, 0x4A, 0x00, 0x01, 0xA5, 0xDC};
    const struct {
        std::function<void(Bytes&)> gateway; // turns our request into its reply
        Bytes expected;
        bool foreignNote;
    } rows[] = {
        {[](Bytes&) {}, read, false}, // an echo: the RTU copy of the request
        {[](Bytes& r) { r[6] = 2; }, {}, true},
        {[](Bytes& r) { r[0] ^= 0x80; }, {}, false}, // an id never sent
    };
    for (const auto& row : rows) {
        ScriptedServer server({}, [&row](int c) {
            Bytes r(260);
            r.resize(std::size_t(std::max<ssize_t>(0, ::recv(c, r.data(), r.size(), 0))));
            row.gateway(r);
            (void)!::send(c, r.data(), r.size(), MSG_NOSIGNAL);
        });
        NetPort port;
        ASSERT_EQ(port.open(Address(server.name("modbus-tcp"))), PortOpenResult::Ok) << port.status().text;
        port.writeFrame(read.data(), read.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::uint8_t buffer[64];
        std::uint32_t kept = 0;
        port.readQueued(buffer, port.queuedByteCount(), kept);
        EXPECT_EQ(Bytes(buffer, buffer + kept), row.expected);
        const std::string note = "the gateway at " + server.peer() +
                                 " answered a request for unit 1 under unit id 2; such answers are not taken as the inverter's";
        EXPECT_EQ(port.takeNotes(), row.foreignNote ? std::vector<std::string>{note} : std::vector<std::string>{});
    }
}

} // namespace
} // namespace korvanel
