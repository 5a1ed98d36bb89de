#include "net_port.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "protocol.h"
#include "texts.h"

namespace korvanel {

namespace {

// While connecting, the wait hook runs at least this often: 50 paints a
// second, and a 3 s bound overshot by at most this much.
constexpr std::chrono::milliseconds CONNECT_SLICE{20};

// Telnet (RFC 854) and its COM port control option (RFC 2217).
constexpr std::uint8_t IAC = 0xFF;
constexpr std::uint8_t DONT = 0xFE;
constexpr std::uint8_t DO = 0xFD;
constexpr std::uint8_t WONT = 0xFC;
constexpr std::uint8_t WILL = 0xFB;
constexpr std::uint8_t SB = 0xFA;
constexpr std::uint8_t SE = 0xF0;
constexpr std::uint8_t OPTION_BINARY = 0;
constexpr std::uint8_t OPTION_ECHO = 1;
constexpr std::uint8_t OPTION_SGA = 3;
constexpr std::uint8_t OPTION_COM_PORT = 44;
// Client to server commands; the server answers each with 100 added.
constexpr std::uint8_t CPC_SET_BAUDRATE = 1;
constexpr std::uint8_t CPC_SET_DATASIZE = 2;
constexpr std::uint8_t CPC_SET_PARITY = 3;
constexpr std::uint8_t CPC_SET_STOPSIZE = 4;
constexpr std::uint8_t CPC_SET_CONTROL = 5;
constexpr std::uint8_t CPC_PURGE_DATA = 12;
constexpr std::uint8_t CPC_PARITY_NONE = 1;
constexpr std::uint8_t CPC_PARITY_ODD = 2;
constexpr std::uint8_t CPC_PARITY_EVEN = 3;
constexpr std::uint8_t CPC_CONTROL_NO_FLOW = 1;
constexpr std::uint8_t CPC_PURGE_BOTH = 3;
constexpr std::uint8_t RTU_DATA_BITS = 8;

// Binary both ways so 0x0D and 0x00 pass untouched; no go-ahead so either
// side may send at any time; the echo the server may offer only stops the
// client echoing locally, which it never does.
bool WeWill(std::uint8_t option)
{
    return option == OPTION_BINARY || option == OPTION_SGA || option == OPTION_COM_PORT;
}
bool TheyMay(std::uint8_t option)
{
    return option == OPTION_BINARY || option == OPTION_SGA || option == OPTION_ECHO;
}

// The result of a name lookup run on a thread of its own, so that a slow
// name server cannot hold open() past its bound.
struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool ok = false;
    std::vector<SocketAddress> addresses;
    std::string error;
};

constexpr char TEXT_TIMED_OUT[] = "Connection timed out";

} // namespace

NetPort::NetPort() = default;

NetPort::~NetPort()
{
    close();
}

PortOpenResult NetPort::open(const std::string& portName)
{
    close();
    lastError_.clear();
    lost_ = false;
    lostReason_.clear();
    inbox_.clear();
    telnet_ = Telnet::Data;
    comPortAnswer_ = 0;
    answered_.clear();
    mbap_.clear();
    runTransactions_.clear();

    std::string error;
    if (!ParseNetPortName(portName, name_, error)) {
        lastError_ = error;
        return PortOpenResult::OpenFailed;
    }
    const Clock::time_point deadline = Clock::now() + CONNECT_TIMEOUT;
    if (!connect(deadline))
        return PortOpenResult::OpenFailed;
    if (name_.scheme == PortScheme::Rfc2217) {
        // The option is the converter's to refuse; the line settings that
        // follow are never awaited.
        if (!offerComPortControl(deadline)) {
            socket_.close();
            return PortOpenResult::OpenFailed;
        }
        sendLineSettings();
        beginRun();
        if (lost_) {
            lastError_ = lostReason_;
            socket_.close();
            return PortOpenResult::OpenFailed;
        }
    }
    return PortOpenResult::Ok;
}

bool NetPort::isOpen() const
{
    return socket_.isOpen();
}

void NetPort::close()
{
    socket_.close();
}

void NetPort::beginRun()
{
    // An answer to an earlier run's request must never be judged in this one.
    runTransactions_.clear();
    if (name_.scheme == PortScheme::Rfc2217 && usable())
        sendComPortCommand(CPC_PURGE_DATA, {CPC_PURGE_BOTH});
}

bool NetPort::lookUp(std::vector<SocketAddress>& addresses, Clock::time_point deadline)
{
    auto lookup = std::make_shared<Lookup>();
    const std::string host = name_.host;
    const std::uint16_t port = name_.port;
    // Detached: a lookup still running at the deadline finishes on its own
    // and its result, shared with this thread, is then dropped.
    std::thread([lookup, host, port] {
        std::vector<SocketAddress> found;
        std::string error;
        const bool ok = ResolveHost(host, port, found, error);
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->ok = ok;
        lookup->addresses = std::move(found);
        lookup->error = error;
        lookup->done = true;
        lookup->finished.notify_one();
    }).detach();

    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->finished.wait_for(lock, CONNECT_SLICE, [&] { return lookup->done; })) {
        if (Clock::now() >= deadline) {
            lastError_ = "Connecting to " + name_.peer() + ": name lookup timed out";
            return false;
        }
        lock.unlock();
        const bool goOn = keepWaiting();
        lock.lock();
        if (!goOn)
            return false;
    }
    if (!lookup->ok || lookup->addresses.empty()) {
        lastError_ = "Connecting to " + name_.peer() + ": name not found (" + lookup->error + ")";
        return false;
    }
    addresses = lookup->addresses;
    return true;
}

bool NetPort::connect(Clock::time_point deadline)
{
    std::vector<SocketAddress> addresses;
    if (!lookUp(addresses, deadline))
        return false;
    // Each address in turn, as the name service ordered them, until one
    // takes the connection or the time is up.
    std::string reason;
    for (const SocketAddress& address : addresses) {
        NetSocket::Step step = socket_.startConnect(address, reason);
        while (step == NetSocket::Step::Pending) {
            if (Clock::now() >= deadline) {
                socket_.close();
                reason = TEXT_TIMED_OUT;
                break;
            }
            if (!keepWaiting()) {
                socket_.close();
                return false;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            step = socket_.finishConnect(
                std::max(std::chrono::milliseconds(0), std::min(left, CONNECT_SLICE)), reason);
        }
        if (step == NetSocket::Step::Done)
            return true;
        if (Clock::now() >= deadline)
            break;
    }
    lastError_ = "Connecting to " + name_.peer() + ": " + reason;
    return false;
}

bool NetPort::offerComPortControl(Clock::time_point deadline)
{
    const std::vector<std::uint8_t> offer = {
        IAC, WILL, OPTION_COM_PORT, IAC, WILL, OPTION_BINARY, IAC, DO, OPTION_BINARY,
        IAC, WILL, OPTION_SGA,      IAC, DO,   OPTION_SGA,
    };
    for (const std::uint8_t option : {OPTION_COM_PORT, OPTION_BINARY, OPTION_SGA}) {
        answered_.push_back(static_cast<std::uint16_t>(WILL << 8 | option));
        if (option != OPTION_COM_PORT)
            answered_.push_back(static_cast<std::uint16_t>(DO << 8 | option));
    }
    if (!sendRaw(offer)) {
        lastError_ = lostReason_;
        return false;
    }
    while (comPortAnswer_ == 0) {
        if (Clock::now() >= deadline) {
            lastError_ = "Connecting to " + name_.peer() +
                         ": no answer to the offer of COM port control (not an RFC 2217 server?)";
            return false;
        }
        if (!keepWaiting())
            return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (socket_.waitReadable(
                std::max(std::chrono::milliseconds(0), std::min(left, CONNECT_SLICE))))
            pump();
        if (lost_) {
            lastError_ = lostReason_;
            return false;
        }
    }
    if (comPortAnswer_ < 0) {
        lastError_ = "Connecting to " + name_.peer() + ": the server refuses COM port control";
        return false;
    }
    return true;
}

bool NetPort::keepWaiting()
{
    if (!waitHook_ || waitHook_())
        return true;
    lastError_ = TEXT_CONNECT_CANCELLED;
    return false;
}

void NetPort::sendLineSettings()
{
    const std::uint32_t baud = line_.baud;
    sendComPortCommand(CPC_SET_BAUDRATE,
                       {static_cast<std::uint8_t>(baud >> 24),
                        static_cast<std::uint8_t>(baud >> 16), static_cast<std::uint8_t>(baud >> 8),
                        static_cast<std::uint8_t>(baud)});
    sendComPortCommand(CPC_SET_DATASIZE, {RTU_DATA_BITS});
    const std::uint8_t parity = line_.parity == LineSettings::Parity::Even  ? CPC_PARITY_EVEN
                                : line_.parity == LineSettings::Parity::Odd ? CPC_PARITY_ODD
                                                                            : CPC_PARITY_NONE;
    sendComPortCommand(CPC_SET_PARITY, {parity});
    // The stop size codes are 1 for one stop bit and 2 for two.
    sendComPortCommand(CPC_SET_STOPSIZE, {line_.stopBits});
    // A modem-line command: some servers (ser2net on a pseudo-terminal)
    // never acknowledge it, so nothing waits for the answer.
    sendComPortCommand(CPC_SET_CONTROL, {CPC_CONTROL_NO_FLOW});
}

void NetPort::sendComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value)
{
    std::vector<std::uint8_t> bytes = {IAC, SB, OPTION_COM_PORT, command};
    for (const std::uint8_t b : value) {
        bytes.push_back(b);
        if (b == IAC)
            bytes.push_back(IAC);
    }
    bytes.push_back(IAC);
    bytes.push_back(SE);
    sendRaw(bytes);
}

bool NetPort::waitForInput(std::chrono::milliseconds timeout)
{
    const Clock::time_point until = Clock::now() + timeout;
    for (;;) {
        if (!inbox_.empty() || lost_)
            return true;
        if (!usable())
            return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0 || !socket_.waitReadable(left))
            return false;
        // What woke the wait may be only Telnet talk or a stale answer.
        pump();
    }
}

std::uint32_t NetPort::queuedByteCount()
{
    if (!usable())
        return 0;
    pump();
    return lost_ ? 0 : static_cast<std::uint32_t>(inbox_.size());
}

bool NetPort::readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept)
{
    bytesKept = 0;
    if (!usable())
        return false;
    const std::uint32_t taken =
        std::min<std::uint32_t>(count, static_cast<std::uint32_t>(inbox_.size()));
    bytesKept = std::min<std::uint32_t>(taken, static_cast<std::uint32_t>(RX_SCRATCH_SIZE));
    std::copy(inbox_.begin(), inbox_.begin() + bytesKept, buffer);
    inbox_.erase(inbox_.begin(), inbox_.begin() + taken);
    return true;
}

void NetPort::writeFrame(const std::uint8_t* bytes, std::uint32_t count)
{
    if (!usable())
        return;
    std::vector<std::uint8_t> out;
    switch (name_.scheme) {
    case PortScheme::ModbusTcp:
        // A new id per request; every id of the run stays acceptable, so a
        // late answer to a resend's predecessor still counts.
        out = MbapFromRtu(++transactionId_, bytes, count);
        if (out.empty())
            return;
        runTransactions_.push_back(transactionId_);
        break;
    case PortScheme::Rfc2217:
        // A data byte 0xFF (a check byte can be one) is doubled so the
        // server does not take it for a command.
        for (std::uint32_t i = 0; i < count; ++i) {
            out.push_back(bytes[i]);
            if (bytes[i] == IAC)
                out.push_back(IAC);
        }
        break;
    default: out.assign(bytes, bytes + count); break;
    }
    sendRaw(out);
}

void NetPort::pump()
{
    std::uint8_t chunk[512];
    while (usable()) {
        std::size_t got = 0;
        std::string error;
        switch (socket_.receive(chunk, sizeof chunk, got, error)) {
        case NetSocket::Io::Data:
            if (name_.scheme == PortScheme::Rfc2217)
                decodeTelnet(chunk, got);
            else if (name_.scheme == PortScheme::ModbusTcp)
                decodeMbap(chunk, got);
            else
                inbox_.insert(inbox_.end(), chunk, chunk + got);
            continue;
        case NetSocket::Io::Nothing: return;
        case NetSocket::Io::Closed:
            markLost("Reading from", "the connection was closed by the other side");
            return;
        case NetSocket::Io::Failed: markLost("Reading from", error); return;
        }
    }
}

void NetPort::decodeTelnet(const std::uint8_t* bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = bytes[i];
        switch (telnet_) {
        case Telnet::Data:
            if (b == IAC)
                telnet_ = Telnet::Iac;
            else
                inbox_.push_back(b);
            break;
        case Telnet::Iac:
            telnet_ = Telnet::Data;
            if (b == IAC) {
                inbox_.push_back(IAC);
            } else if (b == WILL || b == WONT || b == DO || b == DONT) {
                verb_ = b;
                telnet_ = Telnet::Verb;
            } else if (b == SB) {
                telnet_ = Telnet::Sub;
            }
            // Any other command (NOP, go-ahead...) carries nothing for us.
            break;
        case Telnet::Verb:
            telnet_ = Telnet::Data;
            answerOption(verb_, b);
            break;
        // A subnegotiation's payload is passed over: the server's
        // acknowledgements and line or modem state notifications change
        // nothing a run does.
        case Telnet::Sub:
            if (b == IAC)
                telnet_ = Telnet::SubIac;
            break;
        case Telnet::SubIac:
            // A doubled IAC is payload; anything else (SE) ends it.
            telnet_ = b == IAC ? Telnet::Sub : Telnet::Data;
            break;
        }
    }
}

// Each answer is given once, so two sides that disagree cannot loop.
void NetPort::answerOption(std::uint8_t verb, std::uint8_t option)
{
    if (option == OPTION_COM_PORT && (verb == DO || verb == DONT))
        comPortAnswer_ = verb == DO ? 1 : -1;
    std::uint8_t reply = 0;
    if (verb == DO)
        reply = WeWill(option) ? WILL : WONT;
    else if (verb == DONT)
        reply = WONT;
    else if (verb == WILL)
        reply = TheyMay(option) ? DO : DONT;
    else
        reply = DONT;
    const std::uint16_t key = static_cast<std::uint16_t>(reply << 8 | option);
    if (std::find(answered_.begin(), answered_.end(), key) != answered_.end())
        return;
    answered_.push_back(key);
    sendRaw({IAC, reply, option});
}

void NetPort::decodeMbap(const std::uint8_t* bytes, std::size_t length)
{
    mbap_.feed(bytes, length);
    MbapFrame frame;
    for (;;) {
        switch (mbap_.next(frame)) {
        case MbapReader::Result::Frame:
            // Only answers to this run's requests; anything else is an
            // earlier run's late reply, or not ours at all.
            if (std::find(runTransactions_.begin(), runTransactions_.end(), frame.transactionId) !=
                runTransactions_.end()) {
                const std::vector<std::uint8_t> rtu = RtuFromMbap(frame);
                inbox_.insert(inbox_.end(), rtu.begin(), rtu.end());
            }
            continue;
        case MbapReader::Result::NeedMore: return;
        case MbapReader::Result::Malformed:
            markLost("Reading from", std::string("not Modbus TCP: ") + mbap_.error());
            return;
        }
    }
}

bool NetPort::sendRaw(const std::vector<std::uint8_t>& bytes)
{
    if (!usable())
        return false;
    std::string error;
    if (socket_.send(bytes.data(), bytes.size(), error) == NetSocket::Io::Data)
        return true;
    markLost("Writing to", error);
    return false;
}

void NetPort::markLost(const std::string& what, const std::string& reason)
{
    if (lost_)
        return;
    lost_ = true;
    lostReason_ = what + " " + name_.peer() + ": " + reason;
}

} // namespace korvanel
