#include "net_port.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "clear_run.h"
#include "protocol.h"
#include "texts.h"

namespace korvanel {

namespace {

// While connecting, the wait hook runs at least this often: 50 paints a
// second, and a 3 s bound overshot by at most this much.
constexpr std::chrono::milliseconds CONNECT_SLICE{20};
// A connection that ends this soon after it was made, with nothing but
// text heard, was most likely turned away by a converter that serves one
// client at a time.
constexpr std::chrono::milliseconds TURNED_AWAY_WINDOW{1000};

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
constexpr char TEXT_PEER_CLOSED[] = "the connection was closed by the other side";
constexpr char TEXT_MAY_BE_BUSY[] = " (the converter may be serving another client)";

std::chrono::milliseconds Left(std::chrono::steady_clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    return std::max(std::chrono::milliseconds(0), left);
}

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
    heardOnlyText_ = true;
    heardAny_ = false;
    inbox_.clear();
    dropped_ = 0;
    notes_.clear();
    telnet_ = Telnet::Data;
    comPortAnswer_ = 0;
    answered_.clear();
    sub_.clear();
    confirmed_ = 0;
    mbap_.clear();
    recent_.clear();
    foreignUnitNoted_ = false;

    std::string error;
    if (!ParseNetPortName(portName, name_, error)) {
        lastError_ = error;
        return PortOpenResult::OpenFailed;
    }
    const Clock::time_point deadline = Clock::now() + CONNECT_TIMEOUT;
    if (!connect(deadline))
        return PortOpenResult::OpenFailed;
    if (name_.scheme == PortScheme::Rfc2217) {
        if (!offerComPortControl(deadline) || !confirmLineSettings(deadline)) {
            socket_.close();
            return PortOpenResult::OpenFailed;
        }
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
    // A gateway's late answer to an earlier run is still an answer from
    // that address: the engine sorts answers by address and kind, as it
    // does on a serial line, so the recent transaction ids are kept.
    if (name_.scheme == PortScheme::Rfc2217 && usable())
        purgeConverter();
}

std::vector<std::string> NetPort::takeNotes()
{
    if (dropped_ > 0) {
        notes_.push_back("input from " + name_.peer() + " came faster than it could be judged: " +
                         std::to_string(dropped_) + " bytes dropped, the oldest first");
        dropped_ = 0;
    }
    std::vector<std::string> notes;
    notes.swap(notes_);
    return notes;
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
    // Each address in turn, as the name service ordered them, each given an
    // equal share of the time left: an address whose path drops the attempt
    // (a broken IPv6 route) leaves time for the next.
    std::string reason;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const auto share = (deadline - Clock::now()) / static_cast<int>(addresses.size() - i);
        if (connectOne(addresses[i], Clock::now() + share, reason)) {
            connectedAt_ = Clock::now();
            return true;
        }
        if (lastError_ == TEXT_CONNECT_CANCELLED)
            return false;
        if (Clock::now() >= deadline)
            break;
    }
    lastError_ = "Connecting to " + name_.peer() + ": " + reason;
    return false;
}

bool NetPort::connectOne(const SocketAddress& address, Clock::time_point until, std::string& reason)
{
    NetSocket::Step step = socket_.startConnect(address, reason);
    while (step == NetSocket::Step::Pending) {
        if (Clock::now() >= until) {
            socket_.close();
            reason = TEXT_TIMED_OUT;
            return false;
        }
        if (!keepWaiting()) {
            socket_.close();
            return false;
        }
        step = socket_.finishConnect(std::min(Left(until), CONNECT_SLICE), reason);
    }
    return step == NetSocket::Step::Done;
}

bool NetPort::waitDuringOpen(Clock::time_point until, const std::function<bool()>& done)
{
    while (!done() && Clock::now() < until) {
        if (!keepWaiting())
            return false;
        if (socket_.waitReadable(std::min(Left(until), CONNECT_SLICE)))
            pump();
        if (lost_) {
            lastError_ = lostReason_;
            return false;
        }
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

bool NetPort::waitForInput(std::chrono::milliseconds timeout)
{
    const Clock::time_point until = Clock::now() + timeout;
    for (;;) {
        if (!inbox_.empty() || lost_)
            return true;
        if (!usable())
            return false;
        const auto left = Left(until);
        if (left.count() <= 0 || !socket_.waitReadable(left))
            return false;
        // What woke the wait may be only Telnet talk or a stale answer.
        pump();
    }
}

std::uint32_t NetPort::queuedByteCount()
{
    if (usable())
        pump();
    return static_cast<std::uint32_t>(inbox_.size());
}

bool NetPort::readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept)
{
    bytesKept = 0;
    if (inbox_.empty() && !usable())
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
        // A new id per request; the recent ids stay acceptable, so a late
        // answer to a resend's predecessor still counts.
        out = MbapFromRtu(++transactionId_, bytes, count);
        if (out.empty())
            return;
        recent_.push_back({transactionId_, bytes[0]});
        if (recent_.size() > RECENT_TRANSACTIONS)
            recent_.erase(recent_.begin());
        break;
    case PortScheme::Rfc2217: out = telnetData(bytes, count); break;
    default: out.assign(bytes, bytes + count); break;
    }
    sendRaw(out);
}

void NetPort::pump()
{
    std::uint8_t chunk[1024];
    std::size_t taken = 0;
    while (usable() && taken < PUMP_LIMIT) {
        std::size_t got = 0;
        std::string error;
        switch (socket_.receive(chunk, std::min(sizeof chunk, PUMP_LIMIT - taken), got, error)) {
        case NetSocket::Io::Data:
            taken += got;
            if (name_.scheme == PortScheme::Rfc2217)
                decodeTelnet(chunk, got);
            else if (name_.scheme == PortScheme::ModbusTcp)
                decodeMbap(chunk, got);
            else
                deliver(chunk, got);
            continue;
        case NetSocket::Io::Nothing: return;
        case NetSocket::Io::Closed: markLost("Reading from", TEXT_PEER_CLOSED); return;
        case NetSocket::Io::Failed: markLost("Reading from", error); return;
        }
    }
}

void NetPort::deliver(const std::uint8_t* bytes, std::size_t length)
{
    heardOnlyText_ = heardOnlyText_ && std::all_of(bytes, bytes + length, [](std::uint8_t b) {
                         return (b >= ' ' && b <= '~') || b == '\r' || b == '\n';
                     });
    heardAny_ = heardAny_ || length > 0;
    inbox_.insert(inbox_.end(), bytes, bytes + length);
    if (inbox_.size() > REPLY_WINDOW_LIMIT) {
        const std::size_t excess = inbox_.size() - REPLY_WINDOW_LIMIT;
        inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(excess));
        dropped_ += excess;
    }
}

void NetPort::decodeMbap(const std::uint8_t* bytes, std::size_t length)
{
    mbap_.feed(bytes, length);
    MbapFrame frame;
    for (;;) {
        switch (mbap_.next(frame)) {
        case MbapReader::Result::Frame: {
            // Only answers to our recent requests; anything else is not
            // ours at all. Our own request handed back (an echo) decodes to
            // the RTU copy of what was sent, as a line's echo would.
            const auto sent = std::find_if(recent_.begin(), recent_.end(), [&](const Sent& s) {
                return s.transactionId == frame.transactionId;
            });
            if (sent == recent_.end())
                continue;
            if (sent->unitId == frame.unitId) {
                const std::vector<std::uint8_t> rtu = RtuFromMbap(frame);
                deliver(rtu.data(), rtu.size());
            } else if (!foreignUnitNoted_) {
                foreignUnitNoted_ = true;
                notes_.push_back("the gateway at " + name_.peer() +
                                 " answered a request for unit " + std::to_string(sent->unitId) +
                                 " under unit id " + std::to_string(frame.unitId) +
                                 "; such answers are not taken as the inverter's");
            }
            continue;
        }
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
    // A converter that turns a client away says so in words or resets the
    // connection; silence and then a plain close is one that went away.
    const bool plainClose = reason == TEXT_PEER_CLOSED && !heardAny_;
    if (heardOnlyText_ && !plainClose && Clock::now() - connectedAt_ < TURNED_AWAY_WINDOW)
        lostReason_ += TEXT_MAY_BE_BUSY;
}

} // namespace korvanel
