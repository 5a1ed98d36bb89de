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

PortOpenResult NetPort::open(const PortAddress& address)
{
    close();
    status_ = {};
    name_ = address;
    heardOnlyText_ = true;
    heardAny_ = false;
    inbox_.clear();
    dropped_ = 0;
    notes_.clear();
    codec_ = MakeCodec(address);

    const Clock::time_point deadline = Clock::now() + CONNECT_TIMEOUT;
    if (!connect(deadline))
        return PortOpenResult::OpenFailed;
    if (auto* telnet = dynamic_cast<TelnetCodec*>(codec_.get())) {
        if (!offerComPortControl(*telnet, deadline) || !confirmLineSettings(*telnet, deadline)) {
            socket_.close();
            return PortOpenResult::OpenFailed;
        }
        beginRun();
        if (lost()) {
            connectFailed(status_.text);
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
    if (usable()) {
        const std::vector<std::uint8_t> start = codec_->runStart();
        if (!start.empty())
            sendRaw(start);
    }
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
    for (std::string& note : codec_ ? codec_->takeNotes() : std::vector<std::string>())
        notes.push_back(std::move(note));
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
            connectFailed("Connecting to " + name_.peer() + ": name lookup timed out");
            return false;
        }
        lock.unlock();
        const bool goOn = keepWaiting();
        lock.lock();
        if (!goOn)
            return false;
    }
    if (!lookup->ok || lookup->addresses.empty()) {
        connectFailed("Connecting to " + name_.peer() + ": name not found (" + lookup->error + ")");
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
        if (status_.text == TEXT_CONNECT_CANCELLED)
            return false;
        if (Clock::now() >= deadline)
            break;
    }
    connectFailed("Connecting to " + name_.peer() + ": " + reason);
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
        if (lost()) {
            connectFailed(status_.text);
            return false;
        }
    }
    return true;
}

bool NetPort::keepWaiting()
{
    if (!waitHook_ || waitHook_())
        return true;
    connectFailed(TEXT_CONNECT_CANCELLED);
    return false;
}

bool NetPort::waitForInput(std::chrono::milliseconds timeout)
{
    const Clock::time_point until = Clock::now() + timeout;
    for (;;) {
        if (!inbox_.empty() || lost())
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
    const std::vector<std::uint8_t> out = codec_->frame(bytes, count);
    if (!out.empty())
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
        case NetSocket::Io::Data: {
            taken += got;
            std::vector<std::uint8_t> data;
            std::vector<std::uint8_t> reply;
            const bool ok = codec_->feed(chunk, got, data, reply, error);
            deliver(data.data(), data.size());
            if (!reply.empty())
                sendRaw(reply);
            if (!ok) {
                markLost("Reading from", error);
                return;
            }
            continue;
        }
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
    if (lost())
        return;
    // A converter that turns a client away says so in words or resets the
    // connection; silence and then a plain close is one that went away.
    const bool plainClose = reason == TEXT_PEER_CLOSED && !heardAny_;
    const bool turnedAway =
        heardOnlyText_ && !plainClose && Clock::now() - connectedAt_ < TURNED_AWAY_WINDOW;
    status_ = {PortStatus::Reason::Lost,
               what + " " + name_.peer() + ": " + reason + (turnedAway ? TEXT_MAY_BE_BUSY : "")};
}

void NetPort::connectFailed(const std::string& why)
{
    status_ = {PortStatus::Reason::ConnectFailed, why};
}

} // namespace korvanel
